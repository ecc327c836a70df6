# Compile settings of every target: language level, the flags that keep results bit for bit,
# warnings, the portable build and the sanitizers. Included by the top-level CMakeLists.txt and
# by the kernel harness (tests/harness), so both compile with the same flags. The options are
# set for the whole directory: every target defined after the include gets them, whatever the
# target.
include_guard(GLOBAL)

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE Release)
endif()

option(VI_WERROR "Treat compiler warnings as errors" OFF)
option(VI_SIMD "Compile the SSE2, AVX and FMA-instruction paths where the target has them (OFF: portable C++ only)" ON)
set(VI_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address,undefined (empty: none; GCC and Clang only)")

set(vi_id ${CMAKE_CXX_COMPILER_ID})
set(vi_msvc_frontend OFF)
if(MSVC)  # cl, and clang-cl with its cl-style command line
  set(vi_msvc_frontend ON)
endif()

# 32-bit x86: the x87 unit keeps intermediates at 80 bits, which changes the last bits of
# doubles; the SSE2 unit rounds every operation to double as the algorithms are written.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("
#if !defined(__i386__) && !defined(_M_IX86)
#error not 32-bit x86
#endif
int main() { return 0; }" VI_TARGET_X86_32)

# Exactness: every product and sum rounded on its own (no contraction of a*b+c into a fused
# multiply-add, which GCC does by default on targets that have one, aarch64 among them), no
# fast-math, no -march=native.
if(vi_id STREQUAL "MSVC")
  # /fp:precise keeps a*b+c uncontracted only from Visual Studio 2022 (19.30) on; earlier
  # versions contract under /fp:precise and have no command-line option against it.
  if(CMAKE_CXX_COMPILER_VERSION VERSION_LESS 19.30)
    message(FATAL_ERROR "MSVC ${CMAKE_CXX_COMPILER_VERSION} contracts a*b+c under /fp:precise: "
                        "Visual Studio 2022 (MSVC 19.30) or later is needed for exact results")
  endif()
  add_compile_options(/fp:precise /W4)
  if(VI_TARGET_X86_32)
    add_compile_options(/arch:SSE2)
  endif()
elseif(vi_id MATCHES "^(Clang|AppleClang)$" AND vi_msvc_frontend)
  add_compile_options(/fp:precise /clang:-ffp-contract=off /W4)
  if(VI_TARGET_X86_32)
    add_compile_options(/clang:-msse2 /clang:-mfpmath=sse)
  endif()
elseif(vi_id MATCHES "^(GNU|Clang|AppleClang)$")
  add_compile_options(-ffp-contract=off -fno-fast-math -Wall -Wextra)
  if(VI_TARGET_X86_32)
    add_compile_options(-msse2 -mfpmath=sse)
  endif()
else()
  message(FATAL_ERROR "Compiler ${vi_id} is not one of GCC, Clang, Apple Clang and MSVC, for which "
                      "the flags that keep the results exact are known")
endif()

if(VI_WERROR)
  if(vi_msvc_frontend)
    add_compile_options(/WX)
  else()
    add_compile_options(-Werror)
  endif()
endif()

# The portable build: every kernel in plain C++ (the SSE2 pairs of numeric/lanes.hpp, ADX's
# AVX loop, ATR's FMA-instruction copy and batch's AVX loops left out), as on a target
# without them.
if(NOT VI_SIMD)
  add_compile_definitions(VI_DOUBLE2_SSE2=0 VI_ADX_AVX=0 VI_ATR_FMA=0)
endif()

# The sanitizer flags are GCC's and Clang's (MSVC has its own, narrower /fsanitize=address).
if(VI_SANITIZE)
  if(NOT vi_id MATCHES "^(GNU|Clang|AppleClang)$" OR vi_msvc_frontend)
    message(FATAL_ERROR "VI_SANITIZE needs GCC or Clang with its GCC-style command line, not ${vi_id}")
  endif()
  add_compile_options(-fsanitize=${VI_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VI_SANITIZE})
endif()
