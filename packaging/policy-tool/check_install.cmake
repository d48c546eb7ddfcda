# Installs this directory's files into a scratch prefix and checks that each
# one lands below it (a destination fixed at configure time would escape a
# staged install) and that the boot unit runs "sync" only where the kernel's
# status file exists.
#   cmake -DINSTALL_SCRIPT=... -DSTAGE=... -P check_install.cmake
file(REMOVE_RECURSE "${STAGE}")
set(CMAKE_INSTALL_PREFIX "${STAGE}")
set(CMAKE_INSTALL_MANIFEST_FILES "")
# Stop at an absolute destination before it writes outside the stage.
set(CMAKE_ERROR_ON_ABSOLUTE_INSTALL_DESTINATION ON)
include("${INSTALL_SCRIPT}")

set(expected
  "${STAGE}/lib/systemd/system/container-policy-sync.service"
  "${STAGE}/share/man/man8/container-policy-tool.8.gz"
  "${STAGE}/share/bash-completion/completions/container-policy-tool")
foreach(f IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
  string(FIND "${f}" "${STAGE}/" at)
  if(NOT at EQUAL 0)
    message(FATAL_ERROR "installed outside the install prefix: ${f}")
  endif()
endforeach()
foreach(f IN LISTS expected)
  if(NOT EXISTS "${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

file(READ "${STAGE}/lib/systemd/system/container-policy-sync.service" unit)
foreach(line
    "ConditionPathExists=/sys/kernel/security/vrex/policy_docker/dockerstatus"
    "Type=oneshot")
  string(FIND "${unit}" "${line}\n" at)
  if(at LESS 0)
    message(FATAL_ERROR "the unit lacks \"${line}\"")
  endif()
endforeach()
if(NOT unit MATCHES "\nExecStart=/[^\n]*/container-policy-tool sync\n")
  message(FATAL_ERROR "the unit does not run container-policy-tool sync")
endif()
file(REMOVE_RECURSE "${STAGE}")
