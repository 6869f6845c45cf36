# Signs one program in place (cmake -P): EXE, OSSLSIGNCODE, PKCS12, and
# optionally PASSWORD_FILE and TIMESTAMP_URL. On any failure the program is
# removed, so that no unsigned file stands where a signed one was asked for.

set(signed "${EXE}.signed")
file(REMOVE "${signed}")
set(args sign -pkcs12 "${PKCS12}" -h sha256 -n "Kestrup" -in "${EXE}" -out "${signed}")
if(NOT PASSWORD_FILE STREQUAL "")
    list(APPEND args -readpass "${PASSWORD_FILE}")
endif()
if(NOT TIMESTAMP_URL STREQUAL "")
    list(APPEND args -ts "${TIMESTAMP_URL}")
endif()
execute_process(COMMAND "${OSSLSIGNCODE}" ${args}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT EXISTS "${signed}")
    file(REMOVE "${EXE}" "${signed}")
    string(STRIP "${err}\n${out}" why)
    message(FATAL_ERROR "kestrup.exe could not be signed with ${PKCS12} and was removed:\n${why}")
endif()
file(RENAME "${signed}" "${EXE}")
