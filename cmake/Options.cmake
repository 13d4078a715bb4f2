# Every build switch of the project, in one place, printed at configure time.
option(TARV_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(TARV_TSAN "Build with ThreadSanitizer (not together with TARV_SANITIZE)" OFF)
option(TARV_WERROR "Treat compiler warnings as errors" OFF)
option(TARV_BUILD_TESTS "Build the test suites" ON)
option(TARV_BUILD_PYTHON "Build the Python modules RenderBridge and FetchBridge" ON)
option(TARV_BUILD_BENCH "Build the benchmark programs" ON)

add_compile_options(-Wall -Wextra)
# Option keys are boost::mpl::string values spelled as multi-character literals.
add_compile_options(-Wno-multichar)
if(TARV_WERROR)
  add_compile_options(-Werror)
endif()
if(TARV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # GCC 12 reports false maybe-uninitialized warnings inside libstdc++
  # (std::function, std::regex) when instrumenting.
  add_compile_options(-Wno-maybe-uninitialized)
endif()
if(TARV_TSAN)
  if(TARV_SANITIZE)
    message(FATAL_ERROR "TARV_TSAN and TARV_SANITIZE exclude each other: ThreadSanitizer cannot run with AddressSanitizer")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

message(STATUS "Tarv build switches:")
foreach(switch TARV_SANITIZE TARV_TSAN TARV_WERROR TARV_BUILD_TESTS TARV_BUILD_PYTHON TARV_BUILD_BENCH)
  message(STATUS "  ${switch} = ${${switch}}")
endforeach()
message(STATUS "  CMAKE_BUILD_TYPE = ${CMAKE_BUILD_TYPE}")
