# Libraries of the text engine (src/platform/text_engine_freetype.cpp): FreeType
# renders the glyphs and fontconfig finds faces by name. Code page conversion
# uses iconv from the C library.
pkg_check_modules(FREETYPE REQUIRED IMPORTED_TARGET freetype2)
pkg_check_modules(FONTCONFIG REQUIRED IMPORTED_TARGET fontconfig)
set(KINETRA_PLUGIN_LIBS PkgConfig::FREETYPE PkgConfig::FONTCONFIG)
