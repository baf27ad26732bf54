# Writes INPUT as a C++ string constant `kDemoScript` into OUTPUT.
file(READ ${INPUT} text HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${text}")
file(WRITE ${OUTPUT}
  "// Generated from demo_script.txt at build time.\n"
  "extern const char kDemoScript[];\n"
  "const char kDemoScript[] = {${bytes} 0x00};\n")
