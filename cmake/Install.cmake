# Installs hiddfu: the binary (CMakeLists.txt), the manual page, the bash completion and, with the
# Linux backend, the udev rules that give the user at the seat access to CSR devices; and builds
# the Debian package from the same rules with `cpack` (configure with -DCMAKE_INSTALL_PREFIX=/usr).
include(GNUInstallDirs)

# udev and bash-completion name their directories in their pkg-config files, for the system's
# own prefix. Under another prefix (/usr/local, ~/.local) everything stays below it: udev reads
# /usr/local/lib/udev/rules.d, bash-completion finds <prefix>/share/bash-completion/completions
# for /usr/local and ~/.local; a rules file installed anywhere else is not read (README).
if(HIDDFU_BACKEND STREQUAL "linux" AND NOT HIDDFU_UDEV_RULES_DIR)
  pkg_get_variable(udev_dir udev udevdir)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND udev_dir)
    set(HIDDFU_UDEV_RULES_DIR "${udev_dir}/rules.d")
  elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(HIDDFU_UDEV_RULES_DIR "/usr/lib/udev/rules.d")
  else()
    set(HIDDFU_UDEV_RULES_DIR "lib/udev/rules.d")
  endif()
endif()
if(NOT HIDDFU_BASH_COMPLETION_DIR)
  pkg_get_variable(completions_dir bash-completion completionsdir)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND completions_dir)
    set(HIDDFU_BASH_COMPLETION_DIR "${completions_dir}")
  else()
    set(HIDDFU_BASH_COMPLETION_DIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions")
  endif()
endif()
message(STATUS "udev rules: ${HIDDFU_UDEV_RULES_DIR}; bash completion: ${HIDDFU_BASH_COMPLETION_DIR}")

# The manual names where the rules went.
if(IS_ABSOLUTE "${HIDDFU_UDEV_RULES_DIR}")
  set(rules_path "${HIDDFU_UDEV_RULES_DIR}")
else()
  set(rules_path "${CMAKE_INSTALL_PREFIX}/${HIDDFU_UDEV_RULES_DIR}")
endif()
set(HIDDFU_UDEV_RULES_DIR_TEXT "${rules_path}")
configure_file(${CMAKE_SOURCE_DIR}/doc/hiddfu.1.in ${CMAKE_BINARY_DIR}/hiddfu.1 @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/hiddfu.1.gz
                   COMMAND gzip -9nkf hiddfu.1
                   DEPENDS ${CMAKE_BINARY_DIR}/hiddfu.1
                   WORKING_DIRECTORY ${CMAKE_BINARY_DIR} VERBATIM)
add_custom_target(manual ALL DEPENDS ${CMAKE_BINARY_DIR}/hiddfu.1.gz)

install(FILES ${CMAKE_BINARY_DIR}/hiddfu.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(HIDDFU_BACKEND STREQUAL "linux")  # macOS has no udev
  install(FILES ${CMAKE_SOURCE_DIR}/udev/60-hiddfu.rules DESTINATION ${HIDDFU_UDEV_RULES_DIR})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/completion/hiddfu.bash DESTINATION ${HIDDFU_BASH_COMPLETION_DIR}
        RENAME hiddfu)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hiddfu)
set(CPACK_PACKAGE_CONTACT "hiddfu developers <hiddfu@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list USB devices, back up and update CSR HID DFU firmware")
set(CPACK_PACKAGE_DESCRIPTION "A command-line tool that lists and monitors USB devices, exchanges HID
reports with USB HID devices, and backs up and updates the firmware of HID
devices built on CSR chips that speak the CSR HID DFU protocol. It prints
JSON documents for the programs that drive it.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Depends: from the libraries the binary links
set(CPACK_STRIP_FILES ON)
include(CPack)
