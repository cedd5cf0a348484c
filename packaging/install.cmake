# cmake --install: the programs, the provisioning script and the schema it
# reads, the verdict library for proxies, a systemd unit and an example of
# its environment file, and the gateway's example configurations.
include(GNUInstallDirs)

install(TARGETS ml_daemon mlctl ml_sample_push ml_debug_level RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/mldb-provision DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/platform/mldb/schema.sql ${CMAKE_SOURCE_DIR}/platform/mldb/schema-common.sql
        DESTINATION ${CMAKE_INSTALL_DATADIR}/ml_daemon)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/mldb.env.example DESTINATION ${CMAKE_INSTALL_DATADIR}/ml_daemon)
# mlgate's examples to copy: its configuration, nginx's server in front of a
# site, HAProxy's frontend and its SPOE file (docs/gateway.md).
set(ML_GATEWAY_SHARE ${CMAKE_INSTALL_DATADIR}/ml_daemon/gateway)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/mlgate.json DESTINATION ${ML_GATEWAY_SHARE})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/nginx/mlgate.conf DESTINATION ${ML_GATEWAY_SHARE}/nginx)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/haproxy/haproxy.cfg
              ${CMAKE_SOURCE_DIR}/packaging/haproxy/mlgate-spoe.conf DESTINATION ${ML_GATEWAY_SHARE}/haproxy)

# A proxy links libmlverdict.a and the platform libraries it rests on.
install(TARGETS mlverdict mlredis mldb mathmodel mlframework ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}/ml_daemon)
install(FILES ${CMAKE_SOURCE_DIR}/verdict/verdict.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ml_daemon)

# The unit names the programs under the prefix given at install time
# (cmake --install --prefix), so it is written then, not at configure time.
set(ML_ENV_FILE /etc/ml_daemon/mldb.env CACHE STRING
    "Environment file of the systemd unit (MLDB_* settings)")
set(ML_SYSTEMD_DIR lib/systemd/system CACHE STRING "Where the systemd unit goes, below the prefix")
install(CODE "
  set(ML_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(ML_ENV_FILE \"${ML_ENV_FILE}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/packaging/ml_daemon.service.in\"
                 \"${CMAKE_BINARY_DIR}/ml_daemon.service\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/ml_daemon.service DESTINATION ${ML_SYSTEMD_DIR})

# The daemon log keeps records only while its flag file exists. The flag is
# the operator's (removing it pauses the log; the daemon never makes it), so
# it is made here, once, when it is missing: installing turns the log on.
# Below ML_DAEMON_ROOT when that is set, as the programs resolve it.
install(CODE [[
  set(flag "$ENV{DESTDIR}$ENV{ML_DAEMON_ROOT}/var/log/debug/daemon_log_flag")
  if(NOT EXISTS "${flag}")
    get_filename_component(dir "${flag}" DIRECTORY)
    file(MAKE_DIRECTORY "${dir}")
    file(TOUCH "${flag}")
  endif()
]])
