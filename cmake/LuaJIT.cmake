# LuaJIT for the Lua costs: the release in third_party/luajit, hook checks in compiled code, linked statically.
#
# A stock LuaJIT does not check hooks in JIT-compiled code, so a compiled
# `while true do end` could never be interrupted. Built with
# LUAJIT_ENABLE_CHECKHOOK it stops such loops at the next hook. It is built as
# position-independent objects (it ends up inside the extension module) by the
# C compiler the system calls cc, whatever compiles the rest, and it is never
# instrumented: the VM's hand-written assembler does not mix with the
# sanitizers.
#
# LuaJIT's Makefile builds where its sources are, so the sources are copied
# into the build directory first: a build never writes into the source tree
# (which may be read-only, or shared by several build directories).
#
# Defines the imported target tarvex::luajit.

set(TARVEX_LUAJIT_SOURCE "${PROJECT_SOURCE_DIR}/third_party/luajit")
file(READ "${TARVEX_LUAJIT_SOURCE}/.relver" TARVEX_LUAJIT_RELVER)
string(STRIP "${TARVEX_LUAJIT_RELVER}" TARVEX_LUAJIT_RELVER)
set(TARVEX_LUAJIT_VERSION "2.1.${TARVEX_LUAJIT_RELVER}")

find_program(TARVEX_LUAJIT_CC NAMES cc gcc clang)
find_program(TARVEX_MAKE NAMES gmake make)
if(NOT TARVEX_LUAJIT_CC OR NOT TARVEX_MAKE)
  message(FATAL_ERROR "A C compiler (cc) and make are needed to build LuaJIT ${TARVEX_LUAJIT_VERSION}")
endif()

file(GLOB_RECURSE TARVEX_LUAJIT_INPUTS CONFIGURE_DEPENDS
     "${TARVEX_LUAJIT_SOURCE}/src/*" "${TARVEX_LUAJIT_SOURCE}/dynasm/*")
list(APPEND TARVEX_LUAJIT_INPUTS "${TARVEX_LUAJIT_SOURCE}/Makefile" "${TARVEX_LUAJIT_SOURCE}/.relver")

set(TARVEX_LUAJIT_DIR "${CMAKE_BINARY_DIR}/luajit")
set(TARVEX_LUAJIT_LIBRARY "${TARVEX_LUAJIT_DIR}/src/libluajit.a")
set(TARVEX_LUAJIT_HEADERS "${TARVEX_LUAJIT_DIR}/include")
# One translation unit, as distributions build it, without LuaJIT's warnings
# (they are for its developers). make runs serially: the rest of the build
# goes on beside it. The copy is made afresh whenever a source changes, so no
# object of an older source survives; the headers the module includes go to a
# directory of their own, there at configure time for the include path.
file(MAKE_DIRECTORY "${TARVEX_LUAJIT_HEADERS}")
set(TARVEX_LUAJIT_MAKE_FLAGS "CC=${TARVEX_LUAJIT_CC}" XCFLAGS=-DLUAJIT_ENABLE_CHECKHOOK CFLAGS=-fPIC
    CCWARN= Q=@ E=@:)
if(APPLE)
  # LuaJIT's Makefile asks for a deployment target on macOS.
  list(APPEND TARVEX_LUAJIT_MAKE_FLAGS "MACOSX_DEPLOYMENT_TARGET=${CMAKE_OSX_DEPLOYMENT_TARGET}")
endif()
add_custom_command(
  OUTPUT "${TARVEX_LUAJIT_LIBRARY}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${TARVEX_LUAJIT_DIR}/src" "${TARVEX_LUAJIT_DIR}/dynasm"
  COMMAND "${CMAKE_COMMAND}" -E copy_directory "${TARVEX_LUAJIT_SOURCE}" "${TARVEX_LUAJIT_DIR}"
  COMMAND "${TARVEX_MAKE}" --no-print-directory -C src libluajit.a LJCORE_O=ljamalg.o BUILDMODE=static
          ${TARVEX_LUAJIT_MAKE_FLAGS}
  COMMAND "${CMAKE_COMMAND}" -E copy src/lua.h src/lualib.h src/lauxlib.h src/luaconf.h src/lua.hpp
          src/luajit.h "${TARVEX_LUAJIT_HEADERS}"
  DEPENDS ${TARVEX_LUAJIT_INPUTS}
  WORKING_DIRECTORY "${TARVEX_LUAJIT_DIR}"
  COMMENT "Building LuaJIT ${TARVEX_LUAJIT_VERSION} (static, with hook checks in compiled code)"
  VERBATIM)
add_custom_target(tarvex_luajit_build DEPENDS "${TARVEX_LUAJIT_LIBRARY}")

add_library(tarvex_luajit STATIC IMPORTED GLOBAL)
set_target_properties(tarvex_luajit PROPERTIES
  IMPORTED_LOCATION "${TARVEX_LUAJIT_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${TARVEX_LUAJIT_HEADERS}"
  INTERFACE_LINK_LIBRARIES "m;${CMAKE_DL_LIBS}")
add_dependencies(tarvex_luajit tarvex_luajit_build)
add_library(tarvex::luajit ALIAS tarvex_luajit)
