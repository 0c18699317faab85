# The -posix flavour: GoogleTest needs std::mutex, which the -win32 flavour lacks.
set(CMAKE_C_COMPILER ${PENDRA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PENDRA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PENDRA_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PENDRA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Executables must run on a bare Windows: no runtime DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
