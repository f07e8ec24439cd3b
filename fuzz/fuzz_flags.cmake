# Compiler flags of the fuzzing build (QUARIX_FUZZ=ON), applied to every
# library of the tree: coverage for libFuzzer, AddressSanitizer and UBSan.
# Only the fuzz targets link the libFuzzer runtime (fuzz/CMakeLists.txt).
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QUARIX_FUZZ needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++")
endif()
if(NOT QUARIX_SANITIZER STREQUAL "")
    message(FATAL_ERROR "QUARIX_FUZZ brings its own sanitizers: leave QUARIX_SANITIZER empty")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
