# sfxpack as a 64-bit Windows console program, with the 32-bit stub beside
# it. libdeflate, zopfli, libzip and expat are cross-built as static libraries from
# Debian's source packages (scripts/install-deps.sh unpacks them), so that
# the program needs no DLL beyond those every Windows has.
include(ExternalProject)

set(SFX_DEBIAN_SRC ${CMAKE_SOURCE_DIR}/third_party/debian-src CACHE PATH
    "Folder of the unpacked Debian sources of libdeflate, zopfli, libzip and expat")
foreach(pkg libdeflate zopfli libzip expat)
  if(NOT EXISTS ${SFX_DEBIAN_SRC}/${pkg}/debian)
    message(FATAL_ERROR "${SFX_DEBIAN_SRC}/${pkg}: no unpacked Debian source; run scripts/install-deps.sh")
  endif()
endforeach()
# Parallel jobs of each library's and the stub's own build.
set(SFX_SUBBUILD_JOBS 2 CACHE STRING "Parallel jobs of the libraries' and the stub's builds")

# Where the libraries are installed; the include folder must exist when the
# imported targets below are defined, before anything is built.
set(SFX_DEPS ${CMAKE_BINARY_DIR}/deps)
file(MAKE_DIRECTORY ${SFX_DEPS}/include ${SFX_DEPS}/lib)

# libdeflate has only a Makefile, which builds in its source folder: it is
# built in a copy of the source, made anew when Debian's version changes.
# Its static library for MinGW is called libdeflatestatic.lib; it is
# installed as libdeflate.a.
ExternalProject_Add(libdeflate_win64
  PREFIX ${CMAKE_BINARY_DIR}/libdeflate
  DOWNLOAD_COMMAND ${CMAKE_COMMAND} -E rm -rf <SOURCE_DIR>
           COMMAND ${CMAKE_COMMAND} -E copy_directory ${SFX_DEBIAN_SRC}/libdeflate/ <SOURCE_DIR>
  CONFIGURE_COMMAND ""
  BUILD_IN_SOURCE 1
  BUILD_COMMAND make -j${SFX_SUBBUILD_JOBS} CC=${CMAKE_C_COMPILER} AR=${CMAKE_AR} libdeflatestatic.lib
  INSTALL_COMMAND ${CMAKE_COMMAND} -E copy <SOURCE_DIR>/libdeflatestatic.lib ${SFX_DEPS}/lib/libdeflate.a
          COMMAND ${CMAKE_COMMAND} -E copy <SOURCE_DIR>/libdeflate.h ${SFX_DEPS}/include/
  BUILD_BYPRODUCTS ${SFX_DEPS}/lib/libdeflate.a)
ExternalProject_Add_StepDependencies(libdeflate_win64 download ${SFX_DEBIAN_SRC}/libdeflate.version)

# zopfli's static library, made by its Makefile as Debian makes it, in a
# copy of the source. The Makefile archives with the host's ar, so the
# cross toolchain's ranlib then writes the archive's symbol index. Its
# headers are installed as Debian installs them: all of them.
file(GLOB zopfli_headers RELATIVE ${SFX_DEBIAN_SRC}/zopfli ${SFX_DEBIAN_SRC}/zopfli/src/zopfli/*.h)
list(TRANSFORM zopfli_headers PREPEND <SOURCE_DIR>/)
ExternalProject_Add(zopfli_win64
  PREFIX ${CMAKE_BINARY_DIR}/zopfli
  DOWNLOAD_COMMAND ${CMAKE_COMMAND} -E rm -rf <SOURCE_DIR>
           COMMAND ${CMAKE_COMMAND} -E copy_directory ${SFX_DEBIAN_SRC}/zopfli/ <SOURCE_DIR>
  CONFIGURE_COMMAND ""
  BUILD_IN_SOURCE 1
  BUILD_COMMAND make -j${SFX_SUBBUILD_JOBS} CC=${CMAKE_C_COMPILER} libzopfli.a
        COMMAND ${CMAKE_RANLIB} libzopfli.a
  INSTALL_COMMAND ${CMAKE_COMMAND} -E copy <SOURCE_DIR>/libzopfli.a ${SFX_DEPS}/lib/libzopfli.a
          COMMAND ${CMAKE_COMMAND} -E make_directory ${SFX_DEPS}/include/zopfli
          COMMAND ${CMAKE_COMMAND} -E copy ${zopfli_headers} ${SFX_DEPS}/include/zopfli/
  BUILD_BYPRODUCTS ${SFX_DEPS}/lib/libzopfli.a)
ExternalProject_Add_StepDependencies(zopfli_win64 download ${SFX_DEBIAN_SRC}/zopfli.version)

# libzip alone: zlib from the MinGW zlib package, no other compression or
# encryption backends, no tools, tests, documents or examples.
ExternalProject_Add(libzip_win64
  PREFIX ${CMAKE_BINARY_DIR}/libzip
  SOURCE_DIR ${SFX_DEBIAN_SRC}/libzip
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
             -DCMAKE_BUILD_TYPE=Release
             -DCMAKE_INSTALL_PREFIX=${SFX_DEPS}
             -DBUILD_SHARED_LIBS=OFF
             -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF
             -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF
             -DENABLE_OPENSSL=OFF -DENABLE_WINDOWS_CRYPTO=OFF
             -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> -j ${SFX_SUBBUILD_JOBS}
  BUILD_BYPRODUCTS ${SFX_DEPS}/lib/libzip.a)
ExternalProject_Add_StepDependencies(libzip_win64 configure ${SFX_DEBIAN_SRC}/libzip.version)

# expat, the XML parser of manifests, configured as Debian builds it: its
# autotools files made by buildconf.sh in a copy of Debian's source (the
# library's own tree is expat/ there), then configure for the cross compiler
# and the static library alone, without its tool, examples, tests or
# documents.
ExternalProject_Add(expat_win64
  PREFIX ${CMAKE_BINARY_DIR}/expat
  DOWNLOAD_COMMAND ${CMAKE_COMMAND} -E rm -rf <SOURCE_DIR>
           COMMAND ${CMAKE_COMMAND} -E copy_directory ${SFX_DEBIAN_SRC}/expat/expat/ <SOURCE_DIR>
  CONFIGURE_COMMAND ${CMAKE_COMMAND} -E chdir <SOURCE_DIR> ./buildconf.sh
            COMMAND <SOURCE_DIR>/configure --host=x86_64-w64-mingw32 --prefix=${SFX_DEPS}
                    CC=${CMAKE_C_COMPILER} AR=${CMAKE_AR} RANLIB=${CMAKE_RANLIB}
                    --enable-static --disable-shared --without-docbook
                    --without-xmlwf --without-examples --without-tests
  BUILD_COMMAND make -j${SFX_SUBBUILD_JOBS} -C lib
  INSTALL_COMMAND make -C lib install
  BUILD_BYPRODUCTS ${SFX_DEPS}/lib/libexpat.a)
ExternalProject_Add_StepDependencies(expat_win64 download ${SFX_DEBIAN_SRC}/expat.version)

find_package(ZLIB REQUIRED)

add_library(sfx_libdeflate STATIC IMPORTED GLOBAL)
set_target_properties(sfx_libdeflate PROPERTIES
  IMPORTED_LOCATION ${SFX_DEPS}/lib/libdeflate.a
  INTERFACE_INCLUDE_DIRECTORIES ${SFX_DEPS}/include)
add_dependencies(sfx_libdeflate libdeflate_win64)

add_library(sfx_zopfli STATIC IMPORTED GLOBAL)
set_target_properties(sfx_zopfli PROPERTIES
  IMPORTED_LOCATION ${SFX_DEPS}/lib/libzopfli.a
  INTERFACE_INCLUDE_DIRECTORIES ${SFX_DEPS}/include)
add_dependencies(sfx_zopfli zopfli_win64)

# libzip reads random bytes through advapi32 on Windows.
add_library(sfx_libzip STATIC IMPORTED GLOBAL)
set_target_properties(sfx_libzip PROPERTIES
  IMPORTED_LOCATION ${SFX_DEPS}/lib/libzip.a
  INTERFACE_INCLUDE_DIRECTORIES ${SFX_DEPS}/include
  INTERFACE_COMPILE_DEFINITIONS ZIP_STATIC
  INTERFACE_LINK_LIBRARIES "ZLIB::ZLIB;advapi32")
add_dependencies(sfx_libzip libzip_win64)

# Linked statically, expat's declarations must not ask for a DLL's.
add_library(sfx_expat STATIC IMPORTED GLOBAL)
set_target_properties(sfx_expat PROPERTIES
  IMPORTED_LOCATION ${SFX_DEPS}/lib/libexpat.a
  INTERFACE_INCLUDE_DIRECTORIES ${SFX_DEPS}/include
  INTERFACE_COMPILE_DEFINITIONS XML_STATIC)
add_dependencies(sfx_expat expat_win64)

# CLI11 is header-only. Its package configuration would add the host's
# /usr/include to the cross compiler's search path, so the target names a
# folder that holds only a link to its headers.
find_path(SFX_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(cli11_dir ${CMAKE_BINARY_DIR}/cli11/include)
file(MAKE_DIRECTORY ${cli11_dir})
file(CREATE_LINK ${SFX_CLI11_INCLUDE}/CLI ${cli11_dir}/CLI SYMBOLIC)
add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${cli11_dir})

# The 32-bit stub: this source tree built once more with the i686 toolchain,
# the stub alone, copied beside sfxpack.exe, where sfxpack looks first.
set(SFX_WIN32_DIR ${CMAKE_BINARY_DIR}/win32)
ExternalProject_Add(win32
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${SFX_WIN32_DIR}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake
             -DCMAKE_BUILD_TYPE=MinSizeRel
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target sfxstub -j ${SFX_SUBBUILD_JOBS}
  BUILD_ALWAYS 1
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${SFX_WIN32_DIR}/sfxstub.exe
  USES_TERMINAL_BUILD 1)
add_custom_target(stub_beside_tools ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${SFX_WIN32_DIR}/sfxstub.exe ${CMAKE_BINARY_DIR}/bin/sfxstub.exe
  DEPENDS win32)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# Warnings are errors in our own code; the libraries above were built
# before this line and keep their own options.
add_compile_options(-Wall -Wextra -Werror)

add_subdirectory(src)
add_subdirectory(tools/sfxpack)

# The ZIP for Windows users: one folder sfxpack-VERSION-win64 holding the
# program, the stub beside it, the licence and a short README.
install(TARGETS sfxpack RUNTIME DESTINATION .)
install(FILES ${SFX_WIN32_DIR}/sfxstub.exe ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
configure_file(packaging/README-windows.txt ${CMAKE_BINARY_DIR}/packaging/README.txt
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION .)

set(CPACK_PACKAGE_NAME sfxpack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME sfxpack-${PROJECT_VERSION}-win64)
set(CPACK_GENERATOR ZIP)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
