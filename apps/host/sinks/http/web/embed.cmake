# Writes OUTPUT: a C++ source defining the page's files as strings (raw string literals).
file(READ ${WEB_DIR}/index.html index_html)
file(READ ${WEB_DIR}/app.js app_js)
file(READ ${WEB_DIR}/favicon.svg favicon_svg)
file(WRITE ${OUTPUT}
  "// Made by apps/host/sinks/http/web/embed.cmake from apps/host/sinks/http/web/.\n"
  "#include \"apps/host/sinks/http/web_assets.h\"\n"
  "namespace kavren::host::web {\n"
  "const char kIndexHtml[] = R\"kavren_web(${index_html})kavren_web\";\n"
  "const char kAppJs[] = R\"kavren_web(${app_js})kavren_web\";\n"
  "const char kFaviconSvg[] = R\"kavren_web(${favicon_svg})kavren_web\";\n"
  "}  // namespace kavren::host::web\n")
