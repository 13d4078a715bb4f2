# Third-party libraries, all from Debian packages (see README).
find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS thread program_options filesystem date_time)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LOG4CPLUS REQUIRED IMPORTED_TARGET log4cplus)

if(TARV_BUILD_PYTHON)
  set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "The interpreter the modules are built for")
  find_package(Python3 3.11 REQUIRED COMPONENTS Interpreter Development.Module)
  find_package(Boost 1.74 REQUIRED COMPONENTS python${Python3_VERSION_MAJOR}${Python3_VERSION_MINOR})
endif()
if(TARV_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
