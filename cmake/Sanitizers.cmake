# ASan + UBSan for our own targets when BF_SANITIZE is on; fuzz builds add libFuzzer.
add_library(bf_sanitizers INTERFACE)
if(BF_SANITIZE OR BF_FUZZ)
  target_compile_options(bf_sanitizers INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(bf_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
if(BF_FUZZ)
  target_compile_options(bf_sanitizers INTERFACE -fsanitize=fuzzer-no-link)
endif()
