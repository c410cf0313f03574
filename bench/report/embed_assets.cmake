# Writes OUT, a C++ source defining one byte array per asset (NAME=FILE pairs
# in ASSETS, each NUL-terminated), so the bench carries its report page and
# Chart.js with it. Run at build time: cmake -DOUT=... -DASSETS=... -P this.
file(WRITE "${OUT}.tmp" "// Generated from bench/report/embed_assets.cmake; do not edit.\n"
                        "#include \"report_assets.h\"\n\nnamespace qxbench {\n")
foreach(asset IN LISTS ASSETS)
  string(REPLACE "=" ";" pair "${asset}")
  list(GET pair 0 name)
  list(GET pair 1 path)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
         "\\1\n" bytes "${bytes}")
  file(APPEND "${OUT}.tmp" "const unsigned char ${name}[] = {\n${bytes}0x00};\n"
                           "const std::size_t ${name}Size = ${size};\n")
endforeach()
file(APPEND "${OUT}.tmp" "\n}  // namespace qxbench\n")
file(RENAME "${OUT}.tmp" "${OUT}")
