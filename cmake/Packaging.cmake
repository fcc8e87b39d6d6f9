# The launcher's own packages (scripts/package runs CPack in the release trees).
#
# The launcher reads Setting.json and its pictures beside its own executable, so every
# package keeps them together in one folder:
# - Linux, a Debian package: /opt/launcher holds launcher, unpack, the pictures and
#   Setting.json, a link to /etc/launcher/Setting.json (a conffile, so an edited copy
#   survives upgrades). /opt/launcher is not writable for players, so the launcher
#   installs the game below ~/.local/share/<GameDir>. /usr/bin/launcher and
#   /usr/bin/launcher-unpack link to the programs, a desktop entry and icons go to
#   /usr/share. Dependencies are what dpkg-shlibdeps finds the binaries linked to.
# - Windows, a zip of a ready launcher folder: launcher.exe, unpack.exe, Setting.json
#   and the pictures (the executables are linked statically and import system DLLs only).
#
# LAUNCHER_INSTALL_DIR is the folder, below the packaging root, of the launcher and unpack.
set(LAUNCHER_PACKAGE_VERSION "1.0.0" CACHE STRING "Version of the launcher's own packages")

# Installing here only ever feeds CPack, after scripts/package has built what the
# packages hold; it must not build every test of the tree first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(package_resources ${CMAKE_SOURCE_DIR}/src/shell/resources)
set(package_staging ${CMAKE_BINARY_DIR}/package)

# The example pictures, as the development server's demo draws them.
set(package_pictures
  ${package_staging}/background.png ${package_staging}/progress_back.png ${package_staging}/progress_front.png)
add_custom_command(OUTPUT ${package_pictures}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/devserver/make_pictures.py ${package_staging}
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/devserver/make_pictures.py
  COMMENT "Drawing the example pictures")

if(WIN32)
  set(LAUNCHER_INSTALL_DIR .)
  set(LAUNCHER_EXAMPLE_GAME game.exe)
else()
  set(LAUNCHER_INSTALL_DIR opt/launcher)
  set(LAUNCHER_EXAMPLE_GAME game)
endif()
configure_file(${package_resources}/Setting.json.in ${package_staging}/Setting.json @ONLY)
install(FILES ${package_pictures} DESTINATION ${LAUNCHER_INSTALL_DIR})

if(WIN32)
  install(FILES ${package_staging}/Setting.json DESTINATION ${LAUNCHER_INSTALL_DIR})
  add_custom_target(package_resources DEPENDS ${package_pictures})
else()
  set(icon_sizes 48 128 256)
  set(icons)
  foreach(size IN LISTS icon_sizes)
    list(APPEND icons ${package_staging}/icons/${size}x${size}/launcher.png)
    install(FILES ${package_staging}/icons/${size}x${size}/launcher.png
            DESTINATION usr/share/icons/hicolor/${size}x${size}/apps)
  endforeach()
  add_custom_command(OUTPUT ${icons}
    COMMAND ${Python3_EXECUTABLE} ${package_resources}/make_icon_png.py ${package_staging}/icons ${icon_sizes}
    DEPENDS ${package_resources}/make_icon_png.py ${package_resources}/make_icon.py
    COMMENT "Drawing the launcher's icons")
  add_custom_target(package_resources DEPENDS ${package_pictures} ${icons})

  install(FILES ${package_staging}/Setting.json DESTINATION etc/launcher)
  install(FILES ${package_resources}/launcher.desktop DESTINATION usr/share/applications)
  # The links, made here and installed as links.
  file(MAKE_DIRECTORY ${package_staging}/links/opt ${package_staging}/links/bin)
  file(CREATE_LINK /etc/launcher/Setting.json ${package_staging}/links/opt/Setting.json SYMBOLIC)
  file(CREATE_LINK /opt/launcher/launcher ${package_staging}/links/bin/launcher SYMBOLIC)
  file(CREATE_LINK /opt/launcher/unpack ${package_staging}/links/bin/launcher-unpack SYMBOLIC)
  install(FILES ${package_staging}/links/opt/Setting.json DESTINATION ${LAUNCHER_INSTALL_DIR})
  install(FILES ${package_staging}/links/bin/launcher ${package_staging}/links/bin/launcher-unpack
          DESTINATION usr/bin)
  file(WRITE ${package_staging}/conffiles "/etc/launcher/Setting.json\n")
endif()

set(CPACK_PACKAGE_NAME launcher)
set(CPACK_PACKAGE_VERSION ${LAUNCHER_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "Launcher developers")
set(CPACK_PACKAGE_CONTACT "Launcher developers <launcher@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Game launcher: login page, client updates from a zip package, game start")
set(CPACK_PACKAGE_DESCRIPTION
  "Shows the game's login page in a small window, brings the installed game client up to date from the zip package a version server names, and starts the game. Configured by Setting.json.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME launcher-${LAUNCHER_PACKAGE_VERSION}-windows-x64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION games)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${package_staging}/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
