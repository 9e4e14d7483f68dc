# Makes the user guide's HTML page: cmark turns the Markdown into the page's body, and this wraps it into a page
# that stands alone (no style sheet, script or font from anywhere else, so it reads offline).
# cmake -DCMARK=... -DINPUT=USERGUIDE.md -DOUTPUT=user-guide.html -P userguide.cmake
# --unsafe keeps the section anchors written as HTML in the Markdown.
execute_process(COMMAND ${CMARK} --unsafe --smart ${INPUT} OUTPUT_VARIABLE body RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmark could not convert ${INPUT}")
endif()
set(style [[
body { max-width: 46em; margin: 2em auto; padding: 0 1em; font-family: sans-serif; line-height: 1.45;
       color: #1c2329; background: #ffffff; }
h1, h2 { color: #0e2b47; }
h2 { margin-top: 1.8em; border-bottom: 1px solid #d5dde3; }
code { background: #eef2f5; padding: 0 0.2em; }
]])
file(WRITE ${OUTPUT} "<!DOCTYPE html>
<html lang=\"en\">
<head>
<meta charset=\"utf-8\">
<title>Tidewell user guide</title>
<style>
${style}</style>
</head>
<body>
${body}</body>
</html>
")
