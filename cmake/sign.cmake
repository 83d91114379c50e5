# Signs FILE in place with Authenticode (SHA-256), with the certificate CERT
# and its private key KEY:
#   cmake -DOSSLSIGNCODE=... -DCERT=... -DKEY=... -DFILE=... -P sign.cmake
foreach(var IN ITEMS OSSLSIGNCODE CERT KEY FILE)
  if(NOT ${var})
    message(FATAL_ERROR "sign.cmake: ${var} is not set")
  endif()
endforeach()
set(unsigned ${FILE}.unsigned)
file(RENAME ${FILE} ${unsigned})
execute_process(
  COMMAND ${OSSLSIGNCODE} sign -certs ${CERT} -key ${KEY} -h sha256 -n "Velmor Helper" -in ${unsigned} -out ${FILE}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
file(REMOVE ${unsigned})
if(NOT result EQUAL 0)
  file(REMOVE ${FILE})
  message(FATAL_ERROR "signing ${FILE} failed:\n${output}")
endif()
