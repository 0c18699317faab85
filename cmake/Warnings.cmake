# Our own targets build with warnings as errors; third-party code (GoogleTest) does not.
function(pendra_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
        -Wformat=2 -Wundef -Wcast-align -Wmissing-declarations)
endfunction()
