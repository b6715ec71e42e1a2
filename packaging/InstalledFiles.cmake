# Run by "cmake --install" and by CPack, after the programs are in place: writes the files that
# name installed paths (the activation file, the user unit, the man pages) for the prefix this
# install runs with, and installs them. The prefix is only final here: "cmake --install
# --prefix DIR" or CPack's /usr may differ from the one the build was configured with.
# Set by the caller: QMB_BINDIR, QMB_DATADIR, QMB_MANDIR, QMB_UNITDIR (each relative to the
# prefix, or absolute), QMB_VERSION, QMB_SOURCE_DIR and QMB_WORK_DIR.

function(qmb_under_prefix dir out)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
qmb_under_prefix("${QMB_BINDIR}" bindir)
qmb_under_prefix("${QMB_DATADIR}" datadir)
qmb_under_prefix("${QMB_MANDIR}" mandir)
qmb_under_prefix("${QMB_UNITDIR}" unitdir)

# The bus daemon and systemd split Exec lines at blanks and give quotes, backslashes and percent
# signs meanings of their own: a path with any of them would start something else.
if(NOT bindir MATCHES "^/[A-Za-z0-9/._+,@:=-]*$")
  message(FATAL_ERROR "The server's path ${bindir}/qormodbus cannot be named in an activation "
                      "file: choose an install prefix without blanks, quotes, backslashes or "
                      "percent signs")
endif()

# The templates' keys.
set(QMB_INSTALLED_SERVER "${bindir}/qormodbus")
set(QMB_INSTALLED_DATADIR "${datadir}")
set(QMB_INSTALLED_UNITDIR "${unitdir}")
set(PROJECT_VERSION "${QMB_VERSION}")

# One folder per prefix: installs to different places (the tests run some side by side) never
# write each other's files.
string(MD5 key "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(work "${QMB_WORK_DIR}/${key}")
foreach(template IN ITEMS
        "packaging/QorModBus.QorModBusCom.service.in|${datadir}/dbus-1/services"
        "packaging/qormodbus.service.in|${unitdir}"
        "docs/man/qormodbus.8.in|${mandir}/man8"
        "docs/man/qmbctl.1.in|${mandir}/man1"
        "docs/man/qmb-devsim.1.in|${mandir}/man1")
  string(REPLACE "|" ";" template "${template}")
  list(GET template 0 source)
  list(GET template 1 destination)
  get_filename_component(name "${source}" NAME_WLE)
  configure_file("${QMB_SOURCE_DIR}/${source}" "${work}/${name}" @ONLY)
  # file(INSTALL) puts DESTDIR in front and records the file in the install manifest.
  file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${work}/${name}")
endforeach()
file(REMOVE_RECURSE "${work}")
