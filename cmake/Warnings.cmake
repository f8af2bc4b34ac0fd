# Warnings apply to our own targets only (linked as an INTERFACE library).
add_library(bf_warnings INTERFACE)
target_compile_options(bf_warnings INTERFACE -Wall -Wextra)
