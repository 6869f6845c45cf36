# The site's settings, fixed when the program is built. Site IT staff set them
# on the configure command line, e.g.
#   cmake --preset windows -DKESTRUP_SITE_DOMAIN=example.edu ...
# Each is checked here so that a site build never carries a value the
# installer would misuse at run time.

set(KESTRUP_SITE_DOMAIN "halvern.edu" CACHE STRING
    "Site domain, lower case; also the name of the site's Kerberos realm")
set(KESTRUP_SITE_AFS_CELL "ir.halvern.edu" CACHE STRING "Site AFS cell")
set(KESTRUP_SITE_KDC1 "kerberos-1.halvern.edu" CACHE STRING "First site KDC host name")
set(KESTRUP_SITE_KDC2 "kerberos-2.halvern.edu" CACHE STRING "Second site KDC host name")
set(KESTRUP_SITE_KDC3 "kerberos-3.halvern.edu" CACHE STRING "Third site KDC host name")
set(KESTRUP_SITE_INFO_PAGE "https://kfw.halvern.edu/" CACHE STRING
    "Site information page, shown in the removal question")
set(KESTRUP_SITE_CALENDAR_PAGE "https://calendar.halvern.edu/upgrade" CACHE STRING
    "Site calendar page, shown in the incompatible-software dialog")
set(KESTRUP_SITE_LATER_USERS ON CACHE BOOL
    "Fit users and Firefox profiles made after the run too (default profile, Firefox policy)")

# The SHA-256 of each file the site ships beside the program, so that a file
# swapped in that folder (users may be able to write it) is refused. Empty: that
# file is not pinned. Each pin names its variable suffix and its file.
set(KESTRUP_PINNED_FILES
    KFW_RELEASE kfw_release.msi
    INSTMSIA instmsia.exe
    INSTMSIW instmsiw.exe
    KB893803 WindowsInstaller-KB893803-v2-x86.exe
    KB892090_2000 Windows2000-KB892090-x86-ENU.exe
    KB892090_XP WindowsXP-KB892090-x86-ENU.exe)
set(KESTRUP_PINNED_FILES_CXX "")
set(KESTRUP_PINNED_NAMES "")
list(LENGTH KESTRUP_PINNED_FILES pinned_length)
math(EXPR pinned_last "${pinned_length} - 1")
foreach(index RANGE 0 ${pinned_last} 2)
    math(EXPR file_index "${index} + 1")
    list(GET KESTRUP_PINNED_FILES ${index} suffix)
    list(GET KESTRUP_PINNED_FILES ${file_index} file)
    set(KESTRUP_SITE_SHA256_${suffix} "" CACHE STRING "SHA-256 of ${file} (64 hexadecimal digits); empty: not pinned")
endforeach()

function(kestrup_site_error variable message)
    message(FATAL_ERROR "Site setting ${variable}=\"${${variable}}\": ${message}")
endfunction()

# Printable ASCII without the characters that would need escaping in the
# program's texts and resource scripts.
function(kestrup_check_plain variable)
    if("${${variable}}" STREQUAL "")
        kestrup_site_error(${variable} "must not be empty")
    endif()
    if(NOT "${${variable}}" MATCHES "^[!-~]+$" OR "${${variable}}" MATCHES "\"" OR "${${variable}}" MATCHES "\\\\")
        kestrup_site_error(${variable} "may hold only printable ASCII without blanks, double quotes or backslashes")
    endif()
endfunction()

function(kestrup_check_host_name variable)
    kestrup_check_plain(${variable})
    string(LENGTH "${${variable}}" length)
    if(length GREATER 253)
        kestrup_site_error(${variable} "is longer than a DNS name may be (253 characters)")
    endif()
    if(NOT "${${variable}}" MATCHES "^[a-z0-9]([a-z0-9-]*[a-z0-9])?(\\.[a-z0-9]([a-z0-9-]*[a-z0-9])?)+$")
        kestrup_site_error(${variable} "must be a lower-case DNS name with at least one dot, such as example.edu")
    endif()
endfunction()

kestrup_check_host_name(KESTRUP_SITE_DOMAIN)
kestrup_check_host_name(KESTRUP_SITE_AFS_CELL)
foreach(kdc KESTRUP_SITE_KDC1 KESTRUP_SITE_KDC2 KESTRUP_SITE_KDC3)
    kestrup_check_host_name(${kdc})
endforeach()

# The installer accepts a principal "name@domain" only when it ends in one of
# these and is at most 64 characters long; a site domain that cannot pass
# that test would make every user's principal implausible.
if(NOT "${KESTRUP_SITE_DOMAIN}" MATCHES "\\.(edu|com|org|gov|mil|net)")
    kestrup_site_error(KESTRUP_SITE_DOMAIN "must contain .edu, .com, .org, .gov, .mil or .net for principals to be accepted")
endif()
string(LENGTH "${KESTRUP_SITE_DOMAIN}" domain_length)
if(domain_length GREATER 62)
    kestrup_site_error(KESTRUP_SITE_DOMAIN "is too long: a principal \"x@domain\" must fit in 64 characters")
endif()
if("${KESTRUP_SITE_DOMAIN}" MATCHES "pelnetid")
    kestrup_site_error(KESTRUP_SITE_DOMAIN "must not contain \"pelnetid\", which marks implausible principals")
endif()

foreach(page KESTRUP_SITE_INFO_PAGE KESTRUP_SITE_CALENDAR_PAGE)
    kestrup_check_plain(${page})
    if(NOT "${${page}}" MATCHES "^https?://[^/]+")
        kestrup_site_error(${page} "must be an http:// or https:// address")
    endif()
    string(LENGTH "${${page}}" page_length)
    if(page_length GREATER 200)
        kestrup_site_error(${page} "is longer than 200 characters and would not fit the program's messages")
    endif()
endforeach()

# A site that manages these by Group Policy turns them off; anything but a
# plain yes or no is more likely a typing slip than a choice.
string(TOUPPER "${KESTRUP_SITE_LATER_USERS}" later_users)
if(later_users MATCHES "^(ON|YES|TRUE|Y|1)$")
    set(KESTRUP_LATER_USERS_CXX true)
elseif(later_users MATCHES "^(OFF|NO|FALSE|N|0)$")
    set(KESTRUP_LATER_USERS_CXX false)
else()
    kestrup_site_error(KESTRUP_SITE_LATER_USERS "must be ON or OFF")
endif()

foreach(index RANGE 0 ${pinned_last} 2)
    math(EXPR file_index "${index} + 1")
    list(GET KESTRUP_PINNED_FILES ${index} suffix)
    list(GET KESTRUP_PINNED_FILES ${file_index} file)
    set(pin "${KESTRUP_SITE_SHA256_${suffix}}")
    string(LENGTH "${pin}" pin_length)
    if(NOT pin STREQUAL "" AND (NOT pin_length EQUAL 64 OR NOT pin MATCHES "^[0-9A-Fa-f]+$"))
        kestrup_site_error(KESTRUP_SITE_SHA256_${suffix}
                           "must be empty (not pinned) or the SHA-256 of ${file}: 64 hexadecimal digits")
    endif()
    string(TOLOWER "${pin}" pin)
    string(APPEND KESTRUP_PINNED_FILES_CXX "    {\"${file}\", \"${pin}\"},\n")
    if(NOT pin STREQUAL "")
        list(APPEND KESTRUP_PINNED_NAMES ${file})
    endif()
endforeach()
if(NOT KESTRUP_PINNED_NAMES)
    set(KESTRUP_PINNED_NAMES "none")
endif()

# The KDC list is stored as one REG_MULTI_SZ block: each name with its
# terminator, then the closing empty string.
set(KESTRUP_KDC_NAMES_SIZE 1)
foreach(kdc KESTRUP_SITE_KDC1 KESTRUP_SITE_KDC2 KESTRUP_SITE_KDC3)
    string(LENGTH "${${kdc}}" kdc_length)
    math(EXPR KESTRUP_KDC_NAMES_SIZE "${KESTRUP_KDC_NAMES_SIZE} + ${kdc_length} + 1")
endforeach()

message(STATUS "Kestrup site: domain ${KESTRUP_SITE_DOMAIN}, AFS cell ${KESTRUP_SITE_AFS_CELL}, "
               "KDCs ${KESTRUP_SITE_KDC1} ${KESTRUP_SITE_KDC2} ${KESTRUP_SITE_KDC3} "
               "(KdcNames block ${KESTRUP_KDC_NAMES_SIZE} bytes), later users ${KESTRUP_LATER_USERS_CXX}")
string(REPLACE ";" " " pinned_names "${KESTRUP_PINNED_NAMES}")
message(STATUS "Kestrup site: files pinned by SHA-256: ${pinned_names}")
