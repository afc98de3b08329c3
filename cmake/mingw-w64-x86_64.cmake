# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (the posix
# thread flavour, which std::thread needs). Libraries are searched only in
# the MinGW tree and in TARVO_MINGW_DEPS (libjpeg-turbo, libpng, libdeflate
# and GoogleTest built by scripts/mingw_deps.sh); programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARVO_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVO_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVO_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVO_MINGW}-windres)

# Passed on to the try_compile projects CMake makes while configuring.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVO_MINGW_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/${TARVO_MINGW})
if(TARVO_MINGW_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${TARVO_MINGW_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
