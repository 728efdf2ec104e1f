# Runs ${COMPILER} (clang) on ${SOURCE}: as written it must compile; with each
# wrong use defined it must fail, and because of the I/O thread's role, not
# for some other reason (a missing header would fail as well).
set(flags -std=c++17 -fsyntax-only -Wthread-safety -Werror=thread-safety -I${INCLUDE})
execute_process(COMMAND ${COMPILER} ${flags} ${SOURCE} RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the right use was refused:\n${err}")
endif()
foreach(wrong WRONG_ROLE_TOUCHES WRONG_ROLE_CALLS NO_ROLE_TOUCHES)
  execute_process(COMMAND ${COMPILER} ${flags} -D${wrong} ${SOURCE}
                  RESULT_VARIABLE status ERROR_VARIABLE err)
  if(status EQUAL 0)
    message(FATAL_ERROR "${wrong}: compiled, the I/O thread's role was not checked")
  elseif(NOT err MATCHES "requires holding role 'g_ioThread'")
    message(FATAL_ERROR "${wrong}: refused for another reason:\n${err}")
  endif()
endforeach()
