# One place for sanitizer options: -DVELLKIT_SANITIZE=address,undefined
# (MSVC knows only -DVELLKIT_SANITIZE=address).
set(VELLKIT_SANITIZE "" CACHE STRING "Comma-separated sanitizers to build with")

function(vellkit_apply_sanitizers target)
  if(NOT VELLKIT_SANITIZE)
    return()
  endif()
  if(MSVC)
    target_compile_options(${target} PRIVATE /fsanitize=${VELLKIT_SANITIZE})
  else()
    target_compile_options(${target} PRIVATE -fsanitize=${VELLKIT_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=${VELLKIT_SANITIZE})
  endif()
endfunction()
