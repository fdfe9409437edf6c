# The release wheels' compiler (make dist only): Zig's clang, linking against glibc 2.17 and with
# LLVM's libc++ and compiler runtime linked statically, so the wheels install on manylinux2014
# systems. tools/release.py sets MIRTAL_ZIG (the zig program) and MIRTAL_ZIG_TARGET (for example
# aarch64-linux-gnu.2.17) for tools/zig-c++. Everything else builds with the machine's own g++.
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/../tools/zig-c++")
# The sources use no C++20 modules; Zig brings no clang-scan-deps to scan for them.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
# Code generation as close to the g++ build's as Zig's driver allows: no frame pointer (zig keeps
# one by default; g++ drops it from -O1 on), calls into libpython through the GOT rather than the
# PLT, clang's -O3 (the driver rewrites -O3 to -O2, so it is handed to the compiler proper), and a
# higher inlining threshold, which brings the printouts' and lookups' small helpers inline as g++
# does. No LTO: Zig's linker takes no -mllvm option, so the threshold would not reach the link-time
# inliner; LTO at the default threshold counted more instructions per call than this. The alignment
# of functions and loops comes from CMakeLists.txt, as for the g++ build.
set(CMAKE_CXX_FLAGS_INIT "-fomit-frame-pointer -fno-plt -Xclang -O3 -mllvm -inline-threshold=1000")
