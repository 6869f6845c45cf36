# Authenticode signing of kestrup.exe for a site's build. With
# KESTRUP_SIGN_PKCS12 set, osslsigncode signs the program right after it is
# linked (SHA-256, optionally time-stamped); a key that cannot be used stops the
# build and leaves no unsigned kestrup.exe behind. Nothing is signed when it is
# empty.

set(KESTRUP_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file (.pfx or .p12) with the site's code-signing certificate and key; empty: kestrup.exe is not signed")
set(KESTRUP_SIGN_PASSWORD_FILE "" CACHE FILEPATH
    "File whose first line is the PKCS#12 file's password (empty: the file has none)")
set(KESTRUP_SIGN_TIMESTAMP_URL "" CACHE STRING
    "Address of an RFC 3161 time-stamping service (optional): the signature then outlives the certificate")

function(kestrup_sign_after_link target)
    if(KESTRUP_SIGN_PKCS12 STREQUAL "")
        if(NOT KESTRUP_SIGN_PASSWORD_FILE STREQUAL "" OR NOT KESTRUP_SIGN_TIMESTAMP_URL STREQUAL "")
            message(FATAL_ERROR "KESTRUP_SIGN_PASSWORD_FILE or KESTRUP_SIGN_TIMESTAMP_URL is set, but "
                                "KESTRUP_SIGN_PKCS12 is empty: give the PKCS#12 file to sign with")
        endif()
        return()
    endif()
    foreach(setting KESTRUP_SIGN_PKCS12 KESTRUP_SIGN_PASSWORD_FILE)
        if(NOT ${setting} STREQUAL "" AND NOT IS_ABSOLUTE "${${setting}}")
            get_filename_component(${setting} "${${setting}}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
        endif()
        if(NOT ${setting} STREQUAL "" AND NOT EXISTS "${${setting}}")
            message(FATAL_ERROR "${setting}: no such file: ${${setting}}")
        endif()
    endforeach()
    if(NOT KESTRUP_SIGN_TIMESTAMP_URL STREQUAL "" AND NOT KESTRUP_SIGN_TIMESTAMP_URL MATCHES "^https?://[^ ]+$")
        message(FATAL_ERROR "KESTRUP_SIGN_TIMESTAMP_URL must be an http or https address, not "
                            "'${KESTRUP_SIGN_TIMESTAMP_URL}'")
    endif()
    find_program(OSSLSIGNCODE osslsigncode)
    if(NOT OSSLSIGNCODE)
        message(FATAL_ERROR "KESTRUP_SIGN_PKCS12 is set but osslsigncode is not installed "
                            "(Debian: apt-get install osslsigncode)")
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:${target}> -DOSSLSIGNCODE=${OSSLSIGNCODE}
                -DPKCS12=${KESTRUP_SIGN_PKCS12} -DPASSWORD_FILE=${KESTRUP_SIGN_PASSWORD_FILE}
                -DTIMESTAMP_URL=${KESTRUP_SIGN_TIMESTAMP_URL}
                -P ${CMAKE_SOURCE_DIR}/cmake/SignExe.cmake
        COMMENT "Signing kestrup.exe with ${KESTRUP_SIGN_PKCS12}"
        VERBATIM)
endfunction()
