# The fuzz build (preset "fuzz"): the product's text code compiled natively with
# clang, instrumented for libFuzzer, under AddressSanitizer and
# UndefinedBehaviorSanitizer. Every target in the tree gets the instrumentation;
# only the programs in fuzz/ link libFuzzer's own main.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KESTRUP_FUZZ needs clang (libFuzzer); configure with the preset: cmake --preset fuzz")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                    -fno-sanitize-recover=undefined)
add_link_options(-fsanitize=address,undefined)
