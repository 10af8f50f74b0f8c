# LuaJIT for the Lua costs: Debian's pinned source, its security fixes, hook checks in compiled code, linked statically.
#
# Debian's own libluajit does not check hooks in JIT-compiled code, so a
# compiled `while true do end` could never be interrupted. The same source
# built with LUAJIT_ENABLE_CHECKHOOK stops such loops at the next hook. It is
# built as position-independent objects (it ends up inside the extension
# module) by gcc whatever compiles the rest, and it is never instrumented: the
# VM's hand-written assembler does not mix with the sanitizers.
#
# Defines the imported target tarvex::luajit.

set(TARVEX_LUAJIT_VERSION "2.1.0~beta3+git20220320+dfsg")
set(TARVEX_LUAJIT_FILE "luajit_${TARVEX_LUAJIT_VERSION}.orig.tar.gz")
set(TARVEX_LUAJIT_SHA256 "b4d18d2c5e663682bc7f473797e3ceaca8193e112824a5bdfa3e468d98618678")
# The fixes of Debian's security update 4.1+deb12u1 (CVE-2024-25176, -25177,
# -25178), which the library Debian installs carries; the source tarball does not.
file(GLOB TARVEX_LUAJIT_PATCHES "${CMAKE_CURRENT_LIST_DIR}/luajit/*.patch")
list(SORT TARVEX_LUAJIT_PATCHES)

set(TARVEX_LUAJIT_TARBALL "" CACHE FILEPATH
    "LuaJIT's source tarball (${TARVEX_LUAJIT_FILE}) for builds without network access")
set(TARVEX_LUAJIT_URL "" CACHE STRING
    "Where to download ${TARVEX_LUAJIT_FILE} from (default: the Debian archive apt is set up with)")
set(TARVEX_DOWNLOAD_DIR "${PROJECT_SOURCE_DIR}/build/downloads" CACHE PATH
    "Downloads shared by the build directories of this checkout")

function(tarvex_luajit_sha256_matches path result)
  set(${result} FALSE PARENT_SCOPE)
  if(EXISTS "${path}")
    file(SHA256 "${path}" actual)
    if(actual STREQUAL TARVEX_LUAJIT_SHA256)
      set(${result} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

# The source package lives in the pool of the Debian archive that apt
# downloads from, so a machine with a local mirror uses that mirror.
function(tarvex_luajit_default_url result)
  set(${result} "" PARENT_SCOPE)
  find_program(TARVEX_APT_GET apt-get)
  if(NOT TARVEX_APT_GET)
    return()
  endif()
  execute_process(COMMAND "${TARVEX_APT_GET}" indextargets --format "$(URI)"
                  OUTPUT_VARIABLE uris ERROR_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    return()
  endif()
  string(REPLACE "\n" ";" uris "${uris}")
  foreach(uri IN LISTS uris)
    # .../debian/dists/bookworm/main/...: the archive is what precedes /dists/.
    if(uri MATCHES "^(.*)/dists/[^/-]+/main/")
      set(${result} "${CMAKE_MATCH_1}/pool/main/l/luajit/${TARVEX_LUAJIT_FILE}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

set(tarball "${TARVEX_DOWNLOAD_DIR}/${TARVEX_LUAJIT_FILE}")
if(TARVEX_LUAJIT_TARBALL)
  tarvex_luajit_sha256_matches("${TARVEX_LUAJIT_TARBALL}" ok)
  if(NOT ok)
    message(FATAL_ERROR "TARVEX_LUAJIT_TARBALL=${TARVEX_LUAJIT_TARBALL} is missing or is not "
                        "${TARVEX_LUAJIT_FILE} (sha256 ${TARVEX_LUAJIT_SHA256})")
  endif()
  set(tarball "${TARVEX_LUAJIT_TARBALL}")
else()
  tarvex_luajit_sha256_matches("${tarball}" ok)
  if(NOT ok)
    set(url "${TARVEX_LUAJIT_URL}")
    if(NOT url)
      tarvex_luajit_default_url(url)
    endif()
    if(NOT url)
      message(FATAL_ERROR "No Debian archive to download ${TARVEX_LUAJIT_FILE} from: apt has none set up. "
                          "Give -DTARVEX_LUAJIT_URL=<url of the file> or -DTARVEX_LUAJIT_TARBALL=<path> "
                          "(sha256 ${TARVEX_LUAJIT_SHA256}).")
    endif()
    message(STATUS "Downloading ${url}")
    # Into a name of this build directory's own, then renamed: build
    # directories configured at the same time never see half a file.
    string(SHA256 partial_tag "${CMAKE_BINARY_DIR}")
    set(partial "${tarball}.${partial_tag}.part")
    file(DOWNLOAD "${url}" "${partial}" STATUS status)
    list(GET status 0 code)
    list(GET status 1 reason)
    tarvex_luajit_sha256_matches("${partial}" ok)
    if(code EQUAL 0 AND NOT ok)
      set(reason "the file is not the one pinned")
    endif()
    if(NOT code EQUAL 0 OR NOT ok)
      file(REMOVE "${partial}")
      message(FATAL_ERROR "Could not download LuaJIT's source from ${url}: ${reason}. Without network "
                          "access, give -DTARVEX_LUAJIT_TARBALL=<path of ${TARVEX_LUAJIT_FILE}> "
                          "(sha256 ${TARVEX_LUAJIT_SHA256}).")
    endif()
    file(RENAME "${partial}" "${tarball}")
  endif()
endif()

# Unpacked and patched afresh whenever the tarball or a patch changes.
set(TARVEX_LUAJIT_DIR "${CMAKE_BINARY_DIR}/luajit")
set(stamp_text "${TARVEX_LUAJIT_SHA256}")
foreach(patch IN LISTS TARVEX_LUAJIT_PATCHES)
  file(SHA256 "${patch}" patch_sha)
  string(APPEND stamp_text " ${patch_sha}")
endforeach()
set(stamp "${TARVEX_LUAJIT_DIR}/tarvex-source.stamp")
set(old_stamp_text "")
if(EXISTS "${stamp}")
  file(READ "${stamp}" old_stamp_text)
endif()
if(NOT old_stamp_text STREQUAL stamp_text)
  find_program(TARVEX_PATCH patch)
  if(NOT TARVEX_PATCH)
    message(FATAL_ERROR "patch is needed to build LuaJIT (Debian: apt-get install patch)")
  endif()
  file(REMOVE_RECURSE "${TARVEX_LUAJIT_DIR}")
  file(ARCHIVE_EXTRACT INPUT "${tarball}" DESTINATION "${TARVEX_LUAJIT_DIR}")
  foreach(patch IN LISTS TARVEX_LUAJIT_PATCHES)
    execute_process(COMMAND "${TARVEX_PATCH}" -p1 -s -i "${patch}" WORKING_DIRECTORY "${TARVEX_LUAJIT_DIR}"
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "Could not apply ${patch} to LuaJIT's source")
    endif()
  endforeach()
  file(WRITE "${stamp}" "${stamp_text}")
endif()

find_program(TARVEX_LUAJIT_CC gcc)
find_program(TARVEX_MAKE NAMES make gmake)
if(NOT TARVEX_LUAJIT_CC OR NOT TARVEX_MAKE)
  message(FATAL_ERROR "gcc and make are needed to build LuaJIT (Debian: apt-get install gcc make)")
endif()
# The default module paths are those of Debian's build, so require looks
# where it did with the system library.
execute_process(COMMAND "${TARVEX_LUAJIT_CC}" -print-multiarch OUTPUT_VARIABLE multiarch
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(multilib lib)
if(multiarch)
  set(multilib "lib/${multiarch}")
endif()

set(TARVEX_LUAJIT_LIBRARY "${TARVEX_LUAJIT_DIR}/src/libluajit.a")
# One translation unit, as Debian builds it, without LuaJIT's warnings (they
# are for its developers). make runs serially: the rest of the build goes on
# beside it.
add_custom_command(
  OUTPUT "${TARVEX_LUAJIT_LIBRARY}"
  COMMAND "${TARVEX_MAKE}" --no-print-directory -C src libluajit.a LJCORE_O=ljamalg.o BUILDMODE=static
          "CC=${TARVEX_LUAJIT_CC}" PREFIX=/usr "MULTILIB=${multilib}"
          XCFLAGS=-DLUAJIT_ENABLE_CHECKHOOK CFLAGS=-fPIC CCWARN= Q=@ E=@:
  DEPENDS "${stamp}"
  WORKING_DIRECTORY "${TARVEX_LUAJIT_DIR}"
  COMMENT "Building LuaJIT (static, with hook checks in compiled code)"
  VERBATIM)
add_custom_target(tarvex_luajit_build DEPENDS "${TARVEX_LUAJIT_LIBRARY}")

add_library(tarvex_luajit STATIC IMPORTED GLOBAL)
set_target_properties(tarvex_luajit PROPERTIES
  IMPORTED_LOCATION "${TARVEX_LUAJIT_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${TARVEX_LUAJIT_DIR}/src"
  INTERFACE_LINK_LIBRARIES "m;dl")
add_dependencies(tarvex_luajit tarvex_luajit_build)
add_library(tarvex::luajit ALIAS tarvex_luajit)
