# cmake -DNM=nm -DBINARY=path -P no_socket_calls.cmake
# Fails unless BINARY, a dynamically linked program, imports no call that
# opens a socket or sends. The build runs it on qorplan after linking, so a
# qorplan that could reach the network is never built.
execute_process(COMMAND ${NM} -D --undefined-only ${BINARY}
                OUTPUT_VARIABLE imports RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT imports MATCHES "[ \t]fopen")
  message(FATAL_ERROR "cannot list what ${BINARY} imports")
endif()
foreach(call socket bind connect send sendto sendmsg)
  if(imports MATCHES "[ \t]${call}(@|\n)")
    message(FATAL_ERROR "${BINARY} imports ${call}(): it must be built without the transport")
  endif()
endforeach()
