# Holds what the crash path's objects call from outside themselves to system
# calls and the capture core's own functions: no heap, no locks, no stdio.
# Run as: cmake -DNM=... -DOBJECTS="a.o;b.o" -P CrashPathSymbols.cmake
set(allowed
  # system calls and the C library's async-signal-safe wrappers
  "^(open|close|read|write|unlink|fstat|syscall|sigaction|sigaltstack|sigemptyset|sigfillset|pthread_sigmask)$"
  "^(socketpair|send|recv|setsockopt|getpid|_exit|siglongjmp|__sigsetjmp|memset|memcpy|strlen|__errno_location)$"
  # the capture core and the platform layer under it
  "^BBX" "^_Z[0-9]*BBX" "^_ZN5crash"
  # glibc's stack protector, the compiler's own
  "^__stack_chk_fail$" "^_GLOBAL_OFFSET_TABLE_$"
)
string(REPLACE "|" ";" OBJECTS "${OBJECTS}")
set(refused "")
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} -u ${object} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm failed on ${object}")
  endif()
  string(REPLACE "\n" ";" lines "${listing}")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^ *U +" "" symbol "${line}")
    string(REGEX REPLACE "@.*$" "" symbol "${symbol}")
    if(symbol STREQUAL "")
      continue()
    endif()
    set(ok FALSE)
    foreach(pattern IN LISTS allowed)
      if(symbol MATCHES "${pattern}")
        set(ok TRUE)
      endif()
    endforeach()
    if(NOT ok)
      list(APPEND refused "${symbol} (${object})")
    endif()
  endforeach()
endforeach()
if(refused)
  string(REPLACE ";" "\n  " text "${refused}")
  message(FATAL_ERROR "the crash path calls outside its allowed set:\n  ${text}")
endif()
message(STATUS "crash path symbols: all allowed")
