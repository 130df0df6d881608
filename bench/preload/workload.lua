-- Tables, strings and closures: the allocation pattern of a scripting host.
local N = 200000
local t = {}
for i = 1, N do t[i] = string.format("item%06d", (i * 7919) % N) end
table.sort(t)
local index = {}
for i, s in ipairs(t) do index[s] = {pos = i, tag = s:sub(5), f = function() return i end} end
local sum = 0
for round = 1, 3 do
  local parts = {}
  for i = round, N, 5 do
    local entry = index[t[i]]
    parts[#parts + 1] = entry.tag .. ":" .. entry.f()
    sum = sum + #parts[#parts]
  end
  local joined = table.concat(parts, ",")
  sum = sum + #joined
  local words = {}
  for w in joined:gmatch("[^,]+") do words[#words + 1] = w:upper() end
  sum = sum + #words
end
print(sum)
