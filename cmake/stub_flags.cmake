# Compiler options of the Windows stub, shared by its build and by the i386
# benchmark, which must build the decoder exactly as the stub does.
#
# No C runtime: no exceptions, no RTTI, no unwind tables, and a size-minded
# build that gives identical bytes every time.
set(SFX_STUB_COMPILE_OPTIONS
  -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-stack-protector -fno-ident -ffunction-sections
  -fno-threadsafe-statics -fno-tree-loop-distribute-patterns -Wall -Wextra)
