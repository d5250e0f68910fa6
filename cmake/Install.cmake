# Installation beyond the targets' own install() rules: the p11-kit module
# configuration that makes p11-kit-aware applications find the module.
#
#   ${libdir}/pkcs11/zorad_pkcs11.so              the module (src/)
#   ${bindir}/zorad-tool                           the command-line client (tools/)
#   ${ZORAD_P11KIT_MODULE_DIR}/zorad_pkcs11.module  "module: <installed module path>"
#
# p11-kit reads module configurations from its package folder
# (`pkg-config --variable=p11_module_configs p11-kit-1`, /usr/share/p11-kit/modules
# on Debian), from /etc/pkcs11/modules and, for users other than root, from
# ~/.config/pkcs11/modules. The default below follows the install prefix, which
# is that package folder for a prefix of /usr.
if(WIN32)
  return()
endif()

set(ZORAD_P11KIT_MODULE_DIR "${CMAKE_INSTALL_DATAROOTDIR}/p11-kit/modules" CACHE STRING
    "Where the p11-kit module configuration is installed (relative to the prefix or absolute)")

# The file is written at install time, so that the path in it follows a
# prefix given then (cmake --install BUILD --prefix P); DESTDIR stages it
# without becoming part of the path.
install(CODE "
  set(ZORAD_MODULE_DIR \"${CMAKE_INSTALL_LIBDIR}/pkcs11\")
  if(NOT IS_ABSOLUTE \"\${ZORAD_MODULE_DIR}\")
    set(ZORAD_MODULE_DIR \"\${CMAKE_INSTALL_PREFIX}/\${ZORAD_MODULE_DIR}\")
  endif()
  set(ZORAD_INSTALLED_MODULE \"\${ZORAD_MODULE_DIR}/$<TARGET_FILE_NAME:zorad_pkcs11>\")
  set(ZORAD_CONFIG_DIR \"${ZORAD_P11KIT_MODULE_DIR}\")
  if(NOT IS_ABSOLUTE \"\${ZORAD_CONFIG_DIR}\")
    set(ZORAD_CONFIG_DIR \"\${CMAKE_INSTALL_PREFIX}/\${ZORAD_CONFIG_DIR}\")
  endif()
  set(ZORAD_MODULE_FILE \"\$ENV{DESTDIR}\${ZORAD_CONFIG_DIR}/zorad_pkcs11.module\")
  message(STATUS \"Installing: \${ZORAD_MODULE_FILE}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/zorad_pkcs11.module.in\"
                 \"\${ZORAD_MODULE_FILE}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${ZORAD_MODULE_FILE}\")
")
