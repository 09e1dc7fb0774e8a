# Writes the page into a C++ source as one raw string: cmake -DIN=page.html -DOUT=page.cc -P
file(READ ${IN} page)
string(FIND "${page}" ")tarrow_page\"" clash)
if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${IN} holds the raw string's closing delimiter")
endif()
file(WRITE ${OUT}.tmp "// Made from page.html at build time.\n#include \"web/view.h\"\n\n"
     "const char WEB_PAGE[] = R\"tarrow_page(${page})tarrow_page\";\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
