# Finds the compiler and every library the build needs, and stops with one
# message that names all the missing ones and the Debian packages providing
# them, rather than failing on the first.
#
# Defines for the rest of the build:
#   quorvane::pcre2, quorvane::absl  the engine's libraries (PCRE2 from its
#                                    static archive with QUORVANE_WHEEL)
#   TBB::tbb                         for the Python extension only (from
#                                    QUORVANE_TBB_PREFIX when that is set)
#   RAPIDJSON_INCLUDE_DIR

set(_missing_lines "")
set(_missing_debian "")
macro(_dependency_missing what debian_package)  # the package may be "" (none provides it)
  if("${debian_package}" STREQUAL "")
    list(APPEND _missing_lines "  - ${what}\n")
  else()
    list(APPEND _missing_lines "  - ${what}: Debian package ${debian_package}\n")
    list(APPEND _missing_debian "${debian_package}")
  endif()
endmacro()

include(CheckLanguage)
check_language(CXX)
if(CMAKE_CXX_COMPILER)
  enable_language(CXX)
  find_package(Threads REQUIRED)
else()
  _dependency_missing("a C++20 compiler" g++)
  # Without a compiler CMake does not know the multiarch directory; Debian's is
  # <cpu>-linux-gnu, which is enough to tell what else is missing.
  set(CMAKE_LIBRARY_ARCHITECTURE "${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu")
endif()

find_path(PCRE2_INCLUDE_DIR pcre2.h)
find_library(PCRE2_LIBRARY pcre2-8)
if(NOT PCRE2_INCLUDE_DIR OR NOT PCRE2_LIBRARY)
  _dependency_missing("PCRE2, its 8-bit library and header" libpcre2-dev)
endif()

find_package(absl QUIET)
if(NOT TARGET absl::flat_hash_map)
  _dependency_missing("abseil, its flat_hash_map" libabsl-dev)
endif()

find_path(RAPIDJSON_INCLUDE_DIR rapidjson/document.h)
if(NOT RAPIDJSON_INCLUDE_DIR)
  _dependency_missing("RapidJSON" rapidjson-dev)
endif()

if(QUORVANE_BUILD_EXTENSION)
  if(QUORVANE_TBB_PREFIX)
    # A oneTBB installed under a prefix without CMake files, such as PyPI's
    # tbb-devel in a virtualenv (the wheel build).
    find_path(TBB_INCLUDE_DIR oneapi/tbb.h PATHS ${QUORVANE_TBB_PREFIX}/include NO_DEFAULT_PATH)
    find_library(TBB_LIBRARY libtbb.so.12 PATHS ${QUORVANE_TBB_PREFIX}/lib NO_DEFAULT_PATH)
    if(TBB_INCLUDE_DIR AND TBB_LIBRARY)
      add_library(TBB::tbb SHARED IMPORTED)
      set_target_properties(TBB::tbb PROPERTIES IMPORTED_LOCATION ${TBB_LIBRARY}
                                                IMPORTED_SONAME libtbb.so.12
                                                INTERFACE_INCLUDE_DIRECTORIES ${TBB_INCLUDE_DIR})
    endif()
  else()
    find_package(TBB QUIET COMPONENTS tbb)
  endif()
  if(NOT TARGET TBB::tbb AND QUORVANE_TBB_PREFIX)
    _dependency_missing("oneTBB under ${QUORVANE_TBB_PREFIX} (pip install tbb-devel there)" "")
  elseif(NOT TARGET TBB::tbb)
    _dependency_missing("oneTBB" libtbb-dev)
  endif()
  find_package(Python 3.11 QUIET COMPONENTS Interpreter Development.Module)
  if(NOT Python_Interpreter_FOUND)
    _dependency_missing("Python 3.11 or newer" python3)
  elseif(NOT Python_Development.Module_FOUND)
    set(_python_version "${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}")
    file(REAL_PATH "${Python_EXECUTABLE}" _python_base)  # through a virtualenv's link
    if(_python_base MATCHES "^/usr/bin/")
      _dependency_missing("the headers of Python ${_python_version} (Python.h)"
                          "python${_python_version}-dev")
    else()
      _dependency_missing("the headers (Python.h) of ${_python_base}, which come with a full "
                          "installation of that Python" "")
    endif()
  endif()
endif()

if(QUORVANE_BUILD_TESTS)
  find_package(GTest QUIET)
  if(NOT TARGET GTest::gtest OR NOT TARGET GTest::gtest_main)
    _dependency_missing("GoogleTest, for the engine tests (or -DQUORVANE_BUILD_TESTS=OFF)"
                        libgtest-dev)
  endif()
endif()

if(_missing_lines)
  list(JOIN _missing_lines "" _lines)
  set(_install "")
  if(_missing_debian)
    list(REMOVE_DUPLICATES _missing_debian)
    list(JOIN _missing_debian " " _packages)
    set(_install "On Debian 12 or 13, install them with:\n  apt-get install ${_packages}\n")
  endif()
  message(FATAL_ERROR
    "quorvane cannot be built; these dependencies are missing:\n${_lines}${_install}")
endif()

# The engine's libraries, as imported targets of our own so that the choice of
# shared or static linking stays here.
add_library(quorvane_pcre2 INTERFACE)
add_library(quorvane::pcre2 ALIAS quorvane_pcre2)
target_include_directories(quorvane_pcre2 SYSTEM INTERFACE ${PCRE2_INCLUDE_DIR})
add_library(quorvane_absl INTERFACE)
add_library(quorvane::absl ALIAS quorvane_absl)

if(QUORVANE_WHEEL)
  # Debian's archive is position-independent, so it can go into the extension,
  # where its symbols are hidden (--exclude-libs).
  find_library(PCRE2_ARCHIVE libpcre2-8.a)
  if(NOT PCRE2_ARCHIVE)
    message(FATAL_ERROR "QUORVANE_WHEEL: libpcre2-8.a not found (libpcre2-dev)")
  endif()
  target_link_libraries(quorvane_pcre2 INTERFACE ${PCRE2_ARCHIVE})
  target_compile_definitions(quorvane_pcre2 INTERFACE PCRE2_STATIC)
else()
  target_link_libraries(quorvane_pcre2 INTERFACE ${PCRE2_LIBRARY})
endif()
# Debian's abseil archives are built for executables only (local-exec TLS), so
# abseil stays a shared library; the wheel carries its few small libraries.
target_link_libraries(quorvane_absl INTERFACE absl::flat_hash_map)
