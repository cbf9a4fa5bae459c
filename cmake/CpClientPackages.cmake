# Debian packages from one build with CPack's DEB generator (`make package`): the install
# components runtime, dev, python and tools become libcpclient1, libcpclient-dev,
# python3-cpclient and cpclient-tools. The version is the project's VERSION; the Debian
# revision is CPCLIENT_DEB_REVISION. With CPCLIENT_DEB each package also gets its
# copyright file and its gzipped Debian changelog; docs/PACKAGING.md gives the reasons.
set(CPCLIENT_DEB_REVISION 1 CACHE STRING "Debian revision of the packages")
set(CPCLIENT_DEB_MAINTAINER "cpclient maintainers <cpclient-maintainers@example.org>" CACHE STRING
    "Maintainer field of the Debian packages")
set(CPCLIENT_DEB_VERSION ${PROJECT_VERSION}-${CPCLIENT_DEB_REVISION})

# component: Debian package name, section, one-line summary, longer description.
set(deb_runtime libcpclient1 libs "client library for monitoring agent providers"
    "The shared library that a custom monitoring provider loads to talk to the\nmonitoring agent over TCP on 127.0.0.1: registration of attribute groups,\nrequests handed over as records, answers and events sent back as XML messages.")
set(deb_dev libcpclient-dev libdevel "client library for monitoring agent providers - development files"
    "The C header cpclient.h, the header-only C++17 API cpclient.hpp, the\npkg-config file, the CMake package (find_package(CpClient)), manual pages\nand the example providers.")
set(deb_python python3-cpclient python "client library for monitoring agent providers - Python 3"
    "The cpclient Python package: providers in Python over the shared library\nthrough ctypes, with a test helper that runs a provider under agentemu.")
set(deb_tools cpclient-tools devel "agent emulator to run and test monitoring providers"
    "agentemu plays the monitoring agent's side of the protocol against one\nprovider: it asks for data, runs tasks, shows answers and events, and\nreports every protocol violation in its exit status.")

if(CPCLIENT_DEB)
  find_program(GZIP_EXECUTABLE gzip REQUIRED)
  # SOURCE_DATE_EPOCH (the Makefile sets the last commit's time) keeps the packages reproducible.
  string(TIMESTAMP CPCLIENT_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
  execute_process(COMMAND ${GZIP_EXECUTABLE} -9nf ${PROJECT_BINARY_DIR}/debian/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
  foreach(component runtime dev python tools)
    list(GET deb_${component} 0 package)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright-PLACEHOLDER DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
            RENAME copyright COMPONENT ${component})
    install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
            COMPONENT ${component})
  endforeach()
  # Control files go in under their Debian names. The library's ldconfig trigger: CPack's
  # own postinst and postrm call ldconfig too (harmless, and lintian warns; see the notes).
  file(WRITE ${PROJECT_BINARY_DIR}/debian/runtime/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/runtime/triggers)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  foreach(script postinst prerm)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/python3-cpclient.${script}
                   ${PROJECT_BINARY_DIR}/debian/python/${script} COPYONLY)
    list(APPEND CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/python/${script})
  endforeach()
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cpclient)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${CPCLIENT_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev python tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CPCLIENT_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
foreach(component runtime dev python tools)
  string(TOUPPER ${component} upper)
  list(GET deb_${component} 0 package)
  list(GET deb_${component} 1 section)
  list(GET deb_${component} 2 summary)
  list(GET deb_${component} 3 description)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
  set(CPACK_COMPONENT_${upper}_DESCRIPTION "${summary}\n${description}")
endforeach()
# The library's shlibs file: providers linked against it depend on libcpclient1 (>= the
# version they were built with). Only the runtime package holds a shared library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
# Pure Python, for every architecture; python3 brings py3compile and py3clean, which its
# maintainer scripts call.
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "cmake, cpclient-tools")
include(CPack)
