# wexlor_embed_text(<output.cc> <symbol> <input>)
# Generates a C++ source defining `extern const char <symbol>[]` holding the
# input file's text, regenerated whenever the input changes.
function(wexlor_embed_text output symbol input)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${input} -DOUTPUT=${output} -DSYMBOL=${symbol}
            -P ${PROJECT_SOURCE_DIR}/cmake/EmbedTextRun.cmake
    DEPENDS ${input} ${PROJECT_SOURCE_DIR}/cmake/EmbedTextRun.cmake
    COMMENT "Embedding ${input}"
    VERBATIM)
endfunction()
