# Compiler options of the Windows stub, shared by its build and by the i386
# benchmark, which must build the decoder exactly as the stub does.
#
# No C runtime: no exceptions, no RTTI, no unwind tables, and a size-minded
# build that gives identical bytes every time.
set(SFX_STUB_COMPILE_OPTIONS
  -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-stack-protector -fno-ident -ffunction-sections
  -fno-threadsafe-statics -fno-tree-loop-distribute-patterns -Wall -Wextra -Werror)

# The decoder's inner loop runs over every byte the stub writes, and the
# table builder once a block: both are built for speed, the rest of the stub
# for size, which keeps the stub within its size. Paths are relative to src/.
set(SFX_DECODER_SOURCES inflate/fast.cpp inflate/huffman.cpp)
set(SFX_DECODER_COMPILE_OPTIONS -O2)

# Applies the decoder's options to its sources as seen from the calling
# directory (source file properties belong to a directory).
function(sfx_decoder_source_options)
  set(files)
  foreach(f ${SFX_DECODER_SOURCES})
    list(APPEND files ${CMAKE_SOURCE_DIR}/src/${f})
  endforeach()
  set_source_files_properties(${files} PROPERTIES COMPILE_OPTIONS "${SFX_DECODER_COMPILE_OPTIONS}")
endfunction()
