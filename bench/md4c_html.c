/* md4c_html FILE: FILE's Markdown as HTML on standard output, by md4c's own
 * renderer, as md4c's md2html does it: the whole file read into memory,
 * rendered in one md_html() call (CommonMark, no extensions), written
 * through a 1 MiB buffer. */
#include <md4c-html.h>
#include <stdio.h>
#include <stdlib.h>

static void put(const MD_CHAR* text, MD_SIZE size, void* out) { fwrite(text, 1, size, (FILE*) out); }

int main(int argc, char** argv) {
    FILE* in = argc == 2 ? fopen(argv[1], "rb") : NULL;
    if (in == NULL) return perror(argc == 2 ? argv[1] : "usage: md4c_html FILE"), 1;
    size_t size = 0, room = 1 << 20, got;
    char* text = malloc(room);
    while (text && (got = fread(text + size, 1, room - size, in)) > 0)
        if ((size += got) == room) text = realloc(text, room *= 2);
    static char buffer[1 << 20];
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    if (text == NULL || ferror(in) || md_html(text, (MD_SIZE) size, put, stdout, 0, 0) != 0) return 1;
    return fflush(stdout) != 0;
}
