# The vostel tool is started once per command, and a sweep of a few
# milliseconds spends a noticeable share of its wall time in the dynamic
# loader (mapping libstdc++, resolving its symbols) before main runs. A static
# link removes that work. It is the default wherever the toolchain can link a
# static C++ program that starts a thread, and it is never used with the
# sanitizers, whose runtimes need a dynamic link.
include(CheckCXXSourceCompiles)

set(vostel_static_default OFF)
if(NOT VOSTEL_SANITIZE AND NOT VOSTEL_BUILD_FUZZ)
  set(CMAKE_REQUIRED_FLAGS -std=c++20)  # the tool's own standard; clang++ 14 defaults to an older one
  set(CMAKE_REQUIRED_LINK_OPTIONS -static -pthread)
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles([=[
    #include <filesystem>
    #include <iostream>
    #include <thread>
    int main() {
      std::thread worker([] { std::cout << std::filesystem::current_path().string() << std::endl; });
      worker.join();
      return 0;
    }
  ]=] VOSTEL_STATIC_LINK_WORKS)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  unset(CMAKE_REQUIRED_QUIET)
  set(vostel_static_default ${VOSTEL_STATIC_LINK_WORKS})
endif()

option(VOSTEL_STATIC_CLI "Link the vostel executable statically (faster start-up)" ${vostel_static_default})
if(VOSTEL_STATIC_CLI AND (VOSTEL_SANITIZE OR VOSTEL_BUILD_FUZZ))
  message(STATUS "vostel is linked dynamically: the sanitizer runtimes need it")
  set(VOSTEL_STATIC_CLI OFF)
endif()
