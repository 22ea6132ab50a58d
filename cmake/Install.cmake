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

# The manual names where the rules went; on macOS, where Linux keeps them.
if(NOT HIDDFU_UDEV_RULES_DIR)
  set(rules_path "/usr/lib/udev/rules.d")
elseif(IS_ABSOLUTE "${HIDDFU_UDEV_RULES_DIR}")
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

# What a Debian package carries beside the program, installed by `cmake --install` too: the
# copyright file, the changelog and, with the Linux backend, the AppStream data naming the devices
# the rules serve.
set(HIDDFU_PACKAGE_MAINTAINER "hiddfu authors <hiddfu@example.org>" CACHE STRING
    "Maintainer of the Debian package and its changelog entries: Name <address>")

# "1.0 Beta 3" gives 1.0~beta3: the qualifier in lower case without blanks after a tilde, which
# dpkg sorts before the final 1.0.
function(hiddfu_debian_version text out)
  set(version "${text}")
  if(text MATCHES "^([0-9.]+) (.+)$")
    set(number "${CMAKE_MATCH_1}")
    string(TOLOWER "${CMAKE_MATCH_2}" qualifier)
    string(REPLACE " " "" qualifier "${qualifier}")
    set(version "${number}~${qualifier}")
  endif()
  if(NOT version MATCHES "^[0-9][A-Za-z0-9.+~]*$")
    message(FATAL_ERROR "'${text}' gives no Debian version ('${version}')")
  endif()
  set(${out} "${version}" PARENT_SCOPE)
endfunction()

# YYYY-MM-DD as the changelog's RFC 5322 date, the weekday by Sakamoto's method.
function(hiddfu_changelog_date iso out)
  if(NOT iso MATCHES "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
    message(FATAL_ERROR "CHANGELOG.md: '${iso}' is not a date YYYY-MM-DD")
  endif()
  set(day "${CMAKE_MATCH_3}")
  math(EXPR month "${CMAKE_MATCH_2} - 1")
  math(EXPR year "${CMAKE_MATCH_1}")
  set(year_before_march ${year})
  if(month LESS 2)
    math(EXPR year_before_march "${year} - 1")
  endif()
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  set(weekdays Sun Mon Tue Wed Thu Fri Sat)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET offsets ${month} offset)
  set(y ${year_before_march})
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
  list(GET weekdays ${weekday} weekday)
  list(GET months ${month} month)
  set(${out} "${weekday}, ${day} ${month} ${year} 00:00:00 +0000" PARENT_SCOPE)
endfunction()

# CHANGELOG.md in the Debian changelog format, which a native package's changelog.gz holds:
# "## <version> (<date>)" headings, "- " items and their two-space continuation lines.
function(hiddfu_debian_changelog source output)
  file(STRINGS ${source} lines)
  set(text "")
  set(trailer "")
  set(newest "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^## (.+) \\(([0-9-]+)\\)$")
      set(heading "${CMAKE_MATCH_1}")
      set(iso "${CMAKE_MATCH_2}")
      if(newest STREQUAL "")
        set(newest "${heading}")
      endif()
      hiddfu_debian_version("${heading}" version)
      hiddfu_changelog_date("${iso}" date)
      string(APPEND text "${trailer}hiddfu (${version}) unstable; urgency=medium\n\n")
      set(trailer "\n -- ${HIDDFU_PACKAGE_MAINTAINER}  ${date}\n\n")
    elseif(line MATCHES "^- (.+)$")
      string(APPEND text "  * ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^  (.+)$" AND NOT trailer STREQUAL "")
      string(APPEND text "    ${CMAKE_MATCH_1}\n")
    endif()
  endforeach()
  if(NOT newest STREQUAL HIDDFU_VERSION_TEXT)
    message(FATAL_ERROR "CHANGELOG.md: the newest entry is '${newest}', the version '${HIDDFU_VERSION_TEXT}'")
  endif()
  string(REGEX REPLACE "\n$" "" text "${text}${trailer}")
  file(WRITE ${output} "${text}")
endfunction()

hiddfu_debian_version("${HIDDFU_VERSION_TEXT}" HIDDFU_PACKAGE_VERSION)
hiddfu_debian_changelog(${CMAKE_SOURCE_DIR}/CHANGELOG.md ${CMAKE_BINARY_DIR}/doc/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/CHANGELOG.md
             ${CMAKE_SOURCE_DIR}/LICENSE)

# The copyright file takes the project's licence from LICENSE: its copyright line, and its
# notice in the format's indented form, a blank line written as " .".
file(READ ${CMAKE_SOURCE_DIR}/LICENSE licence)
if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.+)$")
  message(FATAL_ERROR "LICENSE: no copyright line followed by the notice")
endif()
set(HIDDFU_COPYRIGHT "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" notice)
string(REPLACE "\n\n" "\n.\n" notice "${notice}")
string(REPLACE "\n" "\n " HIDDFU_LICENSE_NOTICE " ${notice}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/copyright.in ${CMAKE_BINARY_DIR}/doc/copyright @ONLY)

add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
                   COMMAND gzip -9nkf changelog
                   DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog
                   WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/doc VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/doc/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(HIDDFU_BACKEND STREQUAL "linux")  # names the devices the udev rules serve
  install(FILES ${CMAKE_SOURCE_DIR}/udev/hiddfu.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hiddfu)
set(CPACK_PACKAGE_VERSION "${HIDDFU_PACKAGE_VERSION}")
set(CPACK_PACKAGE_CONTACT "${HIDDFU_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${HIDDFU_PACKAGE_MAINTAINER}")
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
