# The packages users install, named by the project version:
#
#   Linux    zorad-pkcs11_<version>_amd64.deb  CPack's DEB generator over the
#            installed layout of a build for the prefix /usr (preset deb)
#   Windows  zorad-pkcs11-<version>-x64.msi    wixl (of msitools) over the release
#            DLL and zorad-tool.exe (preset windows, target msi)
#
# scripts/package builds both into ZORAD_PACKAGE_DIR and checks the Debian
# package with lintian.
set(ZORAD_PACKAGE_NAME zorad-pkcs11)
set(ZORAD_PACKAGE_DIR "${PROJECT_SOURCE_DIR}/build/packages" CACHE PATH
    "Where the Debian package and the Windows installer are written")

if(WIN32)
  # wixl reads the files named by the installer source from its working
  # folder: the module and the tool are staged there as built, byte for byte.
  find_program(ZORAD_WIXL wixl)
  set(msi "${ZORAD_PACKAGE_DIR}/${ZORAD_PACKAGE_NAME}-${PROJECT_VERSION}-x64.msi")
  set(wxs "${PROJECT_SOURCE_DIR}/packaging/windows/zorad_pkcs11.wxs")
  set(stage "${CMAKE_CURRENT_BINARY_DIR}/msi-stage")
  set(files $<TARGET_FILE:zorad_pkcs11>)
  math(EXPR next_patch "${PROJECT_VERSION_PATCH} + 1")
  set(defines -D Version=${PROJECT_VERSION}
      -D NextPatch=${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${next_patch})
  if(TARGET zorad-tool)
    list(APPEND files $<TARGET_FILE:zorad-tool>)
    list(APPEND defines -D WithTool=1)
  endif()
  if(NOT ZORAD_WIXL)
    set(ZORAD_WIXL ${CMAKE_COMMAND} -E false)
    message(STATUS "wixl not found (Debian package wixl): the msi target will fail")
  endif()
  file(MAKE_DIRECTORY "${stage}")
  add_custom_command(OUTPUT "${msi}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${ZORAD_PACKAGE_DIR}"
    COMMAND ${CMAKE_COMMAND} -E copy ${files} "${stage}"
    COMMAND ${ZORAD_WIXL} -a x64 ${defines} -o "${msi}" "${wxs}"
    WORKING_DIRECTORY "${stage}"
    DEPENDS zorad_pkcs11 $<TARGET_NAME_IF_EXISTS:zorad-tool> "${wxs}"
    COMMENT "Building the Windows installer ${msi}"
    VERBATIM)
  add_custom_target(msi DEPENDS "${msi}")
  return()
endif()

# --- documents installed beside the programs ---------------------------------
# The manual page and the change log are compressed as Debian keeps them
# (gzip -9n: no name or time stamp, so the bytes depend on the text only).
set(ZORAD_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZORAD_PACKAGE_NAME}")
string(TIMESTAMP ZORAD_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)  # honours SOURCE_DATE_EPOCH
configure_file(packaging/debian/changelog.in "${CMAKE_CURRENT_BINARY_DIR}/docs/changelog" @ONLY)
set(gzipped)
foreach(document "${PROJECT_SOURCE_DIR}/tools/zorad-tool/zorad-tool.1"
                 "${CMAKE_CURRENT_BINARY_DIR}/docs/changelog")
  get_filename_component(name "${document}" NAME)
  set(copy "${CMAKE_CURRENT_BINARY_DIR}/docs/gz/${name}")
  add_custom_command(OUTPUT "${copy}.gz"
    COMMAND ${CMAKE_COMMAND} -E copy "${document}" "${copy}"
    COMMAND gzip -9nf "${copy}"
    DEPENDS "${document}"
    VERBATIM)
  list(APPEND gzipped "${copy}.gz")
endforeach()
add_custom_target(zorad_documents ALL DEPENDS ${gzipped})
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/docs/gz/zorad-tool.1.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES README.md packaging/debian/copyright "${CMAKE_CURRENT_BINARY_DIR}/docs/gz/changelog.gz"
        DESTINATION "${ZORAD_DOC_DIR}")

# --- the Debian package -------------------------------------------------------
# Only a build for the prefix /usr makes one: the tool's default module path
# and the p11-kit module file are fixed at build and install time.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  return()
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZORAD_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Corvantix)
set(CPACK_PACKAGE_CONTACT "Zorad Developers <dev@zorad.invalid>")
set(CPACK_OUTPUT_FILE_PREFIX "${ZORAD_PACKAGE_DIR}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PKCS#11 module for Zorad GOST R 34.10-2001 smart cards")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "zorad_pkcs11 lets PKCS#11 applications use Zorad smart cards through PC/SC:\n"
    "keep data objects, certificates and GOST R 34.10-2001 keys on the card,\n"
    "generate key pairs on the card, sign and verify on the card (GOST R\n"
    "34.11-94 hashes) and draw random bytes from it. p11-kit-aware\n"
    "applications find the module through its p11-kit module file.\n"
    "\n"
    "The package also holds zorad-tool, a command-line client for initialising\n"
    "tokens, setting PINs, generating keys, signing and verifying documents of\n"
    "any size (hashed on the computer, signed on the card), and for the keys'\n"
    "certificates: certificate requests (csr), storing certificates on the\n"
    "token (import-cert) and CMS signatures of documents (sign-cms).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # <name>_<version>_<architecture>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: what the module and the tool link, as dpkg-shlibdeps finds it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The cards are reached through the PC/SC daemon.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS pcscd)
# Install with the real prefix and DESTDIR, so that the p11-kit module file
# names /usr/lib/<triplet>/pkcs11/zorad_pkcs11.so, not the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
