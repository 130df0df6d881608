# The Windows DLL exports every function of include/Quorrick.h twice: under GCC's names
# (its __declspec(dllexport)) and under the decorated names that the platform's own
# compiler gives the same declarations, so that hosts built by either compiler load it.
# Both lists come from the header itself: clang prints the name of each declaration for
# either target, with the small <cstdint> of cmake/freestanding so that no system
# library's headers are involved.
#
#   cmake -DCLANGXX=<clang++> -DHEADER=<Quorrick.h> -DSTUBS=<dir> -DOUT_DIR=<dir>
#         [-DARCH=x86|x64] -P windows-exports.cmake
#       writes Quorrick-exports.def (the aliases, for the mingw-w64 linker) and
#       Quorrick-import.def (the decorated names, for the import library Quorrick.lib)
#   ... -DCHECK_DLL=<Quorrick.dll> -DREADOBJ=<llvm-readobj> -P windows-exports.cmake
#       fails unless the DLL's export table is exactly both names of every function
#   ... -DCHECK_HOST=<host.exe> -DREADOBJ=<llvm-readobj> -P windows-exports.cmake
#       fails unless the host imports from Quorrick.dll exactly the decorated names of
#       every function: it calls each one, and each by the platform compiler's name
# ARCH picks the DLL's processor: x86 (the default, 32-bit Windows) or x64 (x86-64).

if(NOT DEFINED ARCH OR ARCH STREQUAL "x86")
  set(QJ_GNU_TARGET i686-w64-mingw32)
  set(QJ_DECORATED_TARGET i686-pc-windows-msvc)
elseif(ARCH STREQUAL "x64")
  set(QJ_GNU_TARGET x86_64-w64-mingw32)
  set(QJ_DECORATED_TARGET x86_64-pc-windows-msvc)
else()
  message(FATAL_ERROR "ARCH is x86 or x64, not ${ARCH}")
endif()

# Lists the functions of the header as "name|mangled" entries for one target.
function(qj_header_functions target out)
  execute_process(
    COMMAND "${CLANGXX}" --target=${target} -std=c++17 -ffreestanding -nostdinc++
            -isystem "${STUBS}" -fsyntax-only -x c++ "${HEADER}"
            -Xclang -ast-dump=json -Xclang -ast-dump-filter=velt::zur::memory
    OUTPUT_VARIABLE dump ERROR_VARIABLE errors RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "clang cannot read ${HEADER} for ${target}:\n${errors}")
  endif()
  # One JSON object per declaration the filter matched; read them as one array.
  string(REPLACE "\n}\n{" "\n},\n{" dump "${dump}")
  set(dump "[${dump}]")
  set(functions)
  string(JSON roots LENGTH "${dump}")
  math(EXPR last_root "${roots} - 1")
  foreach(r RANGE ${last_root})
    string(JSON inner ERROR_VARIABLE no_inner GET "${dump}" ${r} inner)
    if(no_inner)
      continue()
    endif()
    string(JSON count LENGTH "${inner}")
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
      string(JSON kind GET "${inner}" ${i} kind)
      if(kind STREQUAL "FunctionDecl")
        string(JSON name GET "${inner}" ${i} name)
        string(JSON mangled GET "${inner}" ${i} mangledName)
        list(APPEND functions "${name}|${mangled}")
      endif()
    endforeach()
  endforeach()
  if(NOT functions)
    message(FATAL_ERROR "no functions found in ${HEADER}")
  endif()
  set(${out} "${functions}" PARENT_SCOPE)
endfunction()

# Pairs each function's GCC name with its decorated name, as "gcc|decorated".
function(qj_export_pairs out)
  qj_header_functions(${QJ_GNU_TARGET} gnu)
  qj_header_functions(${QJ_DECORATED_TARGET} decorated)
  list(LENGTH gnu count)
  list(LENGTH decorated decorated_count)
  if(NOT count EQUAL decorated_count)
    message(FATAL_ERROR "the two targets see different functions in ${HEADER}")
  endif()
  set(pairs)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    list(GET gnu ${i} g)
    list(GET decorated ${i} d)
    string(REPLACE "|" ";" g "${g}")
    string(REPLACE "|" ";" d "${d}")
    list(GET g 0 g_name)
    list(GET g 1 g_symbol)
    list(GET d 0 d_name)
    list(GET d 1 d_symbol)
    if(NOT g_name STREQUAL d_name)
      message(FATAL_ERROR "the two targets list ${g_name} and ${d_name} at the same place")
    endif()
    # The object-file symbol of a 32-bit mingw-w64 target carries an extra leading
    # underscore that its export does not; x86-64 symbols have none.
    if(QJ_GNU_TARGET MATCHES "^i686" AND g_symbol MATCHES "^_")
      string(SUBSTRING "${g_symbol}" 1 -1 g_symbol)
    endif()
    list(APPEND pairs "${g_symbol}|${d_symbol}")
  endforeach()
  set(${out} "${pairs}" PARENT_SCOPE)
endfunction()

qj_export_pairs(pairs)

if(DEFINED CHECK_DLL)
  execute_process(COMMAND "${READOBJ}" --coff-exports "${CHECK_DLL}"
                  OUTPUT_VARIABLE table RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot read the export table of ${CHECK_DLL}")
  endif()
  string(REGEX MATCHALL "\n *Name: [^\n]*" lines "${table}")
  set(exported)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^\n *Name: " "" name "${line}")
    list(APPEND exported "${name}")
  endforeach()
  set(expected)
  foreach(pair IN LISTS pairs)
    string(REPLACE "|" ";" both "${pair}")
    list(APPEND expected ${both})
  endforeach()
  set(missing ${expected})
  list(REMOVE_ITEM missing ${exported})
  set(extra ${exported})
  list(REMOVE_ITEM extra ${expected})
  list(LENGTH pairs count)
  if(missing OR extra)
    list(JOIN missing "\n  " missing)
    list(JOIN extra "\n  " extra)
    message(FATAL_ERROR "the export table of ${CHECK_DLL} does not match the header\n"
                        "missing:\n  ${missing}\nnot in the header:\n  ${extra}")
  endif()
  message(STATUS "${count} functions of the header exported under both names")
  return()
endif()

if(DEFINED CHECK_HOST)
  execute_process(COMMAND "${READOBJ}" --coff-imports "${CHECK_HOST}"
                  OUTPUT_VARIABLE table RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot read the import table of ${CHECK_HOST}")
  endif()
  string(REGEX MATCH "Name: Quorrick.dll\n[^}]*" block "${table}")
  string(REGEX MATCHALL "Symbol: [^ \n]+" lines "${block}")
  set(imported)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^Symbol: " "" name "${line}")
    list(APPEND imported "${name}")
  endforeach()
  set(expected)
  foreach(pair IN LISTS pairs)
    string(REPLACE "|" ";" both "${pair}")
    list(GET both 1 decorated)
    list(APPEND expected "${decorated}")
  endforeach()
  set(missing ${expected})
  list(REMOVE_ITEM missing ${imported})
  set(extra ${imported})
  list(REMOVE_ITEM extra ${expected})
  if(missing OR extra)
    list(JOIN missing "\n  " missing)
    list(JOIN extra "\n  " extra)
    message(FATAL_ERROR "${CHECK_HOST} does not import every decorated name of the header\n"
                        "not imported:\n  ${missing}\nnot in the header:\n  ${extra}\n"
                        "A function added to include/Quorrick.h needs a command that calls it "
                        "in tests/support/decorated_host.cpp (the same as in script_host.cpp).")
  endif()
  return()
endif()

set(aliases "; Generated from include/Quorrick.h by cmake/windows-exports.cmake.\nEXPORTS\n")
set(imports "; Generated from include/Quorrick.h by cmake/windows-exports.cmake.\nLIBRARY \"Quorrick.dll\"\nEXPORTS\n")
foreach(pair IN LISTS pairs)
  string(REPLACE "|" ";" both "${pair}")
  list(GET both 0 gnu)
  list(GET both 1 decorated)
  string(APPEND aliases "    \"${decorated}\" = ${gnu}\n")
  string(APPEND imports "    \"${decorated}\"\n")
endforeach()
# Written only when the text changes, so that the DLL is not relinked for nothing.
foreach(def IN ITEMS exports import)
  set(text "${aliases}")
  if(def STREQUAL "import")
    set(text "${imports}")
  endif()
  file(WRITE "${OUT_DIR}/Quorrick-${def}.def.new" "${text}")
  file(COPY_FILE "${OUT_DIR}/Quorrick-${def}.def.new" "${OUT_DIR}/Quorrick-${def}.def" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUT_DIR}/Quorrick-${def}.def.new")
endforeach()
