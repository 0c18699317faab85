# pendra_openssl: OpenSSL 3's libssl and libcrypto for Pendra (never for Klemora). For Windows the
# static libraries that tools/build-openssl builds from Debian's source package, in the width of
# this build, with the system libraries they import; natively Debian's libssl-dev.
if(TARGET pendra_openssl)
    return()
endif()

if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(_pendra_openssl_width x64)
    else()
        set(_pendra_openssl_width x86)
    endif()
    set(PENDRA_OPENSSL_ROOT "${PROJECT_SOURCE_DIR}/build/openssl/${_pendra_openssl_width}"
        CACHE PATH "OpenSSL for this width, as tools/build-openssl leaves it")
    foreach(_pendra_openssl_file include/openssl/ssl.h lib/libssl.a lib/libcrypto.a stamp
            LICENSE.txt)
        if(NOT EXISTS "${PENDRA_OPENSSL_ROOT}/${_pendra_openssl_file}")
            message(FATAL_ERROR "OpenSSL for ${_pendra_openssl_width} is missing "
                "(${PENDRA_OPENSSL_ROOT}/${_pendra_openssl_file}): run tools/build-openssl "
                "${_pendra_openssl_width}")
        endif()
    endforeach()
    # The stamp is read so that a rebuild of the libraries configures again.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PENDRA_OPENSSL_ROOT}/stamp")
    file(STRINGS "${PENDRA_OPENSSL_ROOT}/stamp" _pendra_openssl_version REGEX "^version ")
    message(STATUS "OpenSSL for ${_pendra_openssl_width}: ${_pendra_openssl_version}")

    add_library(pendra_openssl_crypto STATIC IMPORTED)
    set_target_properties(pendra_openssl_crypto PROPERTIES
        IMPORTED_LOCATION "${PENDRA_OPENSSL_ROOT}/lib/libcrypto.a"
        INTERFACE_INCLUDE_DIRECTORIES "${PENDRA_OPENSSL_ROOT}/include"
        # What it imports besides kernel32 and msvcrt: Winsock for its socket BIOs, advapi32 for
        # CryptGenRandom and the event log, user32 for the message box of a fatal error.
        INTERFACE_LINK_LIBRARIES "ws2_32;advapi32;user32")
    add_library(pendra_openssl_ssl STATIC IMPORTED)
    set_target_properties(pendra_openssl_ssl PROPERTIES
        IMPORTED_LOCATION "${PENDRA_OPENSSL_ROOT}/lib/libssl.a"
        INTERFACE_INCLUDE_DIRECTORIES "${PENDRA_OPENSSL_ROOT}/include"
        INTERFACE_LINK_LIBRARIES pendra_openssl_crypto)
    add_library(pendra_openssl INTERFACE)
    target_link_libraries(pendra_openssl INTERFACE pendra_openssl_ssl pendra_openssl_crypto)
else()
    find_package(OpenSSL 3 REQUIRED)
    add_library(pendra_openssl INTERFACE)
    target_link_libraries(pendra_openssl INTERFACE OpenSSL::SSL OpenSSL::Crypto)
endif()
