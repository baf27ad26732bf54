# Writes the preview page's files as C++ string constants into OUTPUT:
# index.html, preview.css and preview.js from DIR as kPreviewPageHtml,
# kPreviewPageCss and kPreviewPageJs.
set(content "// Generated from app/preview/page/ at build time.\n")
foreach(pair "index.html:kPreviewPageHtml" "preview.css:kPreviewPageCss" "preview.js:kPreviewPageJs")
  string(REPLACE ":" ";" parts ${pair})
  list(GET parts 0 file)
  list(GET parts 1 symbol)
  file(READ ${DIR}/${file} text HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${text}")
  string(APPEND content "extern const char ${symbol}[];\nconst char ${symbol}[] = {${bytes} 0x00};\n")
endforeach()
file(WRITE ${OUTPUT} "${content}")
