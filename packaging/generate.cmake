# Install-time step: writes the files whose text names installed paths (the
# configuration template, the systemd unit, the logrotate snippet) for the
# prefix given to the install itself, so `cmake --install build --prefix X`
# and the package (prefix /usr) both get paths that exist in their tree.
#
# Expects TEV_SOURCE_DIR, TEV_BINARY_DIR, TEV_SBINDIR, TEV_LIBEXECDIR,
# TEV_DATADIR (GNUInstallDirs values, relative or absolute), TEV_CONFDIR,
# TEV_LOGDIR, TEV_STATEDIR, TEV_RUNDIR, TEV_PIDFILE (absolute system paths)
# and TEV_USER (the system user the service runs as).

# An install directory as an absolute path under the install-time prefix.
function(tev_full_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

tev_full_dir(sbindir "${TEV_SBINDIR}")
tev_full_dir(libexecdir "${TEV_LIBEXECDIR}")
tev_full_dir(datadir "${TEV_DATADIR}")
set(scriptdir "${libexecdir}/tev")
# Files that belong to /etc for a system prefix, under the prefix otherwise.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR CMAKE_INSTALL_PREFIX STREQUAL "/")
  set(sysconfdir "/etc")
else()
  set(sysconfdir "${CMAKE_INSTALL_PREFIX}/etc")
endif()

set(gen "${TEV_BINARY_DIR}/packaging-generated")
file(MAKE_DIRECTORY "${gen}")

# The configuration template: the sample with the installed program, script,
# log, pid and work paths, and the package's own choices: a closed door
# (only 127.0.0.1 is answered until the operator names the server in
# filterlist), no self-upgrade (the program file belongs to root, the agent
# runs as its own user), the process tools' answers made by the agent
# itself. The password stays empty: the package's configure step puts
# a fresh random one into the copy it makes.
# Replacements work on the whole text, each key anchored at a line start
# (the text is given a leading line break for the first line).
file(READ "${TEV_SOURCE_DIR}/etc/tev.cfg" sample)
set(sample "\n${sample}")
foreach(rule
    "tevpath=${sbindir}/tev"
    "password="
    "pidfile=${TEV_PIDFILE}"
    "tmpdir=${TEV_STATEDIR}"
    "oklogfile=${TEV_LOGDIR}/success.log"
    "badlogfile=${TEV_LOGDIR}/failure.log"
    "verboselogfile=${TEV_LOGDIR}/verbose.log"
    "filteractive=1"
    "filterlist=127.0.0.1"
    "allowupdates=0"
    "proccntscript=builtin"
    "cpuusagescript=builtin"
    "proclistscript=builtin")
  string(REGEX MATCH "^[a-z]+=" key "${rule}")
  string(REGEX REPLACE "\n${key}[^\n]*" "\n${rule}" sample "${sample}")
endforeach()
# Script paths: the installed directory with the sample's file name. Only a
# value with a "/" is a path; builtin (the agent answers itself) and a bare
# name (beside the agent) stay as the sample has them.
string(REGEX REPLACE "\n(proccntscript|cpuusagescript|proclistscript)=([^\n]*/)([^\n/]*)"
       "\n\\1=${scriptdir}/\\3" sample "${sample}")
string(SUBSTRING "${sample}" 1 -1 sample)
set(cfg "# tev configuration, made from ${datadir}/tev/tev.cfg.template at installation.\n")
string(APPEND cfg "# The installed service reads ${TEV_CONFDIR}/tev.cfg; see tev.cfg(5).\n")
string(APPEND cfg "${sample}")
file(WRITE "${gen}/tev.cfg.template" "${cfg}")

set(TEV_SBIN_PATH "${sbindir}/tev")
configure_file("${TEV_SOURCE_DIR}/packaging/tev.service.in" "${gen}/tev.service" @ONLY)
configure_file("${TEV_SOURCE_DIR}/packaging/tev.logrotate.in" "${gen}/tev" @ONLY)
set(TEV_TEMPLATE "${datadir}/tev/tev.cfg.template")
configure_file("${TEV_SOURCE_DIR}/packaging/tev-setup.in" "${gen}/tev-setup" @ONLY)

file(INSTALL DESTINATION "${datadir}/tev" TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE
     GROUP_READ WORLD_READ FILES "${gen}/tev.cfg.template")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
     FILES "${gen}/tev.service")
file(INSTALL DESTINATION "${sysconfdir}/logrotate.d" TYPE FILE FILES "${gen}/tev")
file(INSTALL DESTINATION "${scriptdir}" TYPE PROGRAM FILES "${gen}/tev-setup")
