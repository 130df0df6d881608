# Fails when an object of the library other than src/frame/lifecycle.cpp has a dynamic
# initialiser at namespace scope. The library's start-up order (locks, memory names,
# trace stack, then the attach handler) is fixed in lifecycle.cpp alone; an initialiser
# elsewhere would run at an unspecified point of it.
#   cmake -DNM=<nm> -DOBJECTS=<object|object|...> -P check-static-init.cmake
string(REPLACE "|" ";" objects "${OBJECTS}")
set(checked 0)
foreach(object IN LISTS objects)
  execute_process(COMMAND "${NM}" "${object}" OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot list the symbols of ${object}")
  endif()
  math(EXPR checked "${checked} + 1")
  if(symbols MATCHES "_GLOBAL__sub_I_" AND NOT object MATCHES "lifecycle\\.cpp\\.")
    message(SEND_ERROR "dynamic initialiser outside lifecycle.cpp: ${object}")
  endif()
endforeach()
message(STATUS "${checked} objects checked")
