# Settings every target of ours gets (not third-party code built alongside).
add_library(dualcap_options INTERFACE)

if(MSVC)
    # /fp:precise keeps each float operation rounded on its own: the resampler's output is
    # defined operation by operation, and a contracted multiply-add would change samples.
    target_compile_options(dualcap_options INTERFACE /W4 /permissive- /fp:precise /utf-8)
    if(DUALCAP_WERROR)
        target_compile_options(dualcap_options INTERFACE /WX)
    endif()
else()
    target_compile_options(dualcap_options INTERFACE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
        -ffp-contract=off
        # Nothing of ours reads the floating-point exception flags. Without this, GCC will
        # not turn the resampler's clamps into branch-free vector code. Results are the same.
        -fno-trapping-math
        # Designated initializers rely on default member initializers for the rest.
        -Wno-missing-field-initializers)
    if(DUALCAP_WERROR)
        target_compile_options(dualcap_options INTERFACE -Werror)
    endif()
endif()
