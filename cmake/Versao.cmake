# The program's version, on Windows as a version resource (what
# VersaoArquivo reads there); on Linux the program embeds an ELF section.
function(tef_versao_windows alvo descricao)
  if(NOT WIN32)
    return()
  endif()
  set(TEF_VERSAO_DESCRICAO "${descricao}")
  set(TEF_VERSAO_ARQUIVO "$<TARGET_FILE_NAME:${alvo}>")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/versao.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${alvo}-versao.rc @ONLY)
  target_sources(${alvo} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${alvo}-versao.rc)
endfunction()
