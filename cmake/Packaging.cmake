# Installation layout and the Debian package (CPack's DEB generator).
#   cmake --build build && cpack --config build/CPackConfig.cmake -G DEB
# (scripts/package does this). The package installs under /usr, with the
# service unit in /lib/systemd/system and the example options in
# /etc/corvantel, as a Debian 12 package does.

set(CORVANTEL_MAINTAINER "Corvantel developers <corvantel@example.org>" CACHE STRING
    "Maintainer of the Debian package (name <address>)")

set(packaging_src ${PROJECT_SOURCE_DIR}/packaging)
set(packaging_out ${PROJECT_BINARY_DIR}/packaging)

# The newest entry of the changelog names the version being packaged, and
# its date is the manual page's date.
file(STRINGS ${packaging_src}/changelog changelog_lines)
list(GET changelog_lines 0 changelog_top)
if(NOT changelog_top MATCHES "^corvantel \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the newest entry is not for version ${PROJECT_VERSION} "
                      "(project(VERSION) in CMakeLists.txt); add one.")
endif()
foreach(line IN LISTS changelog_lines)
  if(line MATCHES "^ -- .*>  [A-Z][a-z][a-z], ([0-9]+ [A-Z][a-z][a-z] [0-9]+) ")
    set(CORVANTEL_RELEASE_DATE ${CMAKE_MATCH_1})
    break()
  endif()
endforeach()
if(NOT CORVANTEL_RELEASE_DATE)
  message(FATAL_ERROR "packaging/changelog: the newest entry has no dated trailer line")
endif()

# The manual page and the changelog, compressed as Debian wants them (-n: no
# name or time stamp in the gzip header, so the package is reproducible).
configure_file(${packaging_src}/corvantel.1.in ${packaging_out}/corvantel.1 @ONLY)
add_custom_command(OUTPUT ${packaging_out}/corvantel.1.gz
  COMMAND gzip -9nc ${packaging_out}/corvantel.1 > ${packaging_out}/corvantel.1.gz
  DEPENDS ${packaging_out}/corvantel.1)
add_custom_command(OUTPUT ${packaging_out}/changelog.gz
  COMMAND gzip -9nc ${packaging_src}/changelog > ${packaging_out}/changelog.gz
  DEPENDS ${packaging_src}/changelog)

# The desktop icon, rendered from the picture the program draws for its
# window.
set(icon_sizes 32 64 128)
add_executable(render_icon ${packaging_src}/render_icon.cpp)
target_link_libraries(render_icon PRIVATE corvantel_gui)
set(icon_files)
foreach(size IN LISTS icon_sizes)
  list(APPEND icon_files ${packaging_out}/icons/${size}x${size}/corvantel.png)
endforeach()
add_custom_command(OUTPUT ${icon_files}
  COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
          $<TARGET_FILE:render_icon> ${packaging_out}/icons ${icon_sizes}
  DEPENDS render_icon)

add_custom_target(packaging_files ALL
  DEPENDS ${packaging_out}/corvantel.1.gz ${packaging_out}/changelog.gz ${icon_files})

install(TARGETS corvantel RUNTIME DESTINATION bin)
install(FILES ${packaging_src}/corvantel.desktop DESTINATION share/applications)
foreach(size IN LISTS icon_sizes)
  install(FILES ${packaging_out}/icons/${size}x${size}/corvantel.png
          DESTINATION share/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${packaging_out}/corvantel.1.gz DESTINATION share/man/man1)
install(FILES ${packaging_src}/copyright ${packaging_out}/changelog.gz DESTINATION share/doc/corvantel)
install(FILES ${packaging_src}/corvantel@.service DESTINATION /lib/systemd/system)
# It holds a password line: root's alone, as every copy of it should be.
install(FILES ${packaging_src}/example.conf DESTINATION /etc/corvantel PERMISSIONS OWNER_READ OWNER_WRITE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvantel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${CORVANTEL_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "move files to and from FTP and SFTP servers on a schedule")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CORVANTEL_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The long description; CPack puts the summary above it as its first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Corvantel keeps two jobs: a download job that fetches the files matching a
pattern from an FTP or SFTP server into a local working directory, and an
upload job that stores the matching files of that directory on an FTP or SFTP
server.
Each job runs once a day at its hour, or every hour, and logs every file it
moves. It runs as a Qt desktop window, or headless as a systemd service
(corvantel@NAME), several instances side by side.")
# The Qt and C++ runtime libraries, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# adduser makes the service's system user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# The window needs a Qt platform plugin; the headless program does not.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${packaging_src}/conffiles ${packaging_src}/postinst ${packaging_src}/prerm ${packaging_src}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
