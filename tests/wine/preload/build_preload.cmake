# Builds the preload library for Wine under qemu (see wine_qemu_fix.c) as
#   OUT/lib/i386-linux-gnu/libsfxwinefix.so    the fix, for Wine's processes
#   OUT/lib/x86_64-linux-gnu/libsfxwinefix.so  an empty library
# so that LD_PRELOAD=OUT/$LIB/libsfxwinefix.so gives each program the library
# of its own word size (the dynamic linker expands $LIB), and the 64-bit
# programs Wine starts (shell scripts, for one) load the empty one quietly.
# Never fails the build: without the library the Wine tests say why they skip.
# Inputs: CC, SRC, OUT, STAMP.
set(lib32 ${OUT}/lib/i386-linux-gnu/libsfxwinefix.so)
set(lib64 ${OUT}/lib/x86_64-linux-gnu/libsfxwinefix.so)
file(MAKE_DIRECTORY ${OUT}/lib/i386-linux-gnu ${OUT}/lib/x86_64-linux-gnu)
file(REMOVE ${lib32} ${lib64})

execute_process(
  COMMAND ${CC} -m32 -O2 -fPIC -ffreestanding -fno-stack-protector -nostdlib -shared
          -Wall -Wextra -o ${lib32} ${SRC}
  RESULT_VARIABLE rc32 OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc32 EQUAL 0)
  message(WARNING "32-bit preload library for Wine under qemu not built:\n${out}")
  file(REMOVE ${lib32})
endif()

file(WRITE ${OUT}/empty.c "/* intentionally empty */\n")
execute_process(
  COMMAND ${CC} -O2 -fPIC -nostdlib -shared -o ${lib64} ${OUT}/empty.c
  RESULT_VARIABLE rc64 OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc64 EQUAL 0)
  message(WARNING "64-bit companion of the Wine preload library not built:\n${out}")
  file(REMOVE ${lib64})
endif()
file(TOUCH ${STAMP})
