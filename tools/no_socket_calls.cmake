# cmake -DNM=nm -DBINARY=path [-DRECEIVER=ON] -P no_socket_calls.cmake
# Fails unless BINARY, a dynamically linked program, imports no call that
# sends: connect, send, sendto, sendmsg, sendmmsg, sendfile, nor syscall,
# through which any of them could be made. A datagram socket that is never
# connected has no destination, so write() on it cannot send either. Unless
# RECEIVER, it must also import no call that opens a socket (socket, bind).
# The build runs it on qorplan, and with RECEIVER on qorlisten, after
# linking, so a program that could reach the network is never built.
set(calls connect send sendto sendmsg sendmmsg sendfile syscall)
# A call the program is known to import, as a pattern: a 32-bit build with
# 64-bit file offsets imports fopen64, a fortified one may check recvfrom.
set(surely "fopen(64)?")
if(RECEIVER)
  set(surely "(__)?recvfrom(_chk)?")
else()
  list(APPEND calls socket bind)
endif()
execute_process(COMMAND ${NM} -D --undefined-only ${BINARY}
                OUTPUT_VARIABLE imports RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT imports MATCHES "[ \t]${surely}(@|\n)")
  message(FATAL_ERROR "cannot list what ${BINARY} imports")
endif()
foreach(call ${calls})
  if(imports MATCHES "[ \t]${call}(@|\n)")
    message(FATAL_ERROR "${BINARY} imports ${call}(): it must be built without the transport")
  endif()
endforeach()
