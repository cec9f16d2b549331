/* io_floor INPUT PREPARED OUTPUT: the least a converter of INPUT into OUTPUT
 * must do, converting nothing. It reads INPUT in 1 MiB blocks and writes
 * PREPARED (the converter's output, made once beforehand) into OUTPUT in
 * 1 MiB blocks. PREPARED is mapped rather than read, so that getting its
 * bytes costs no copy that a converter, which makes them, would not pay. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kBlock = 1 << 20 };

static int fail(const char* what) { return perror(what), 1; }

int main(int argc, char** argv) {
    if (argc != 4) return fputs("usage: io_floor INPUT PREPARED OUTPUT\n", stderr), 2;
    static char block[kBlock];
    int in = open(argv[1], O_RDONLY), prepared = open(argv[2], O_RDONLY);
    struct stat status;
    if (in < 0 || prepared < 0 || fstat(prepared, &status) != 0) return fail("open");
    size_t size = (size_t) status.st_size;
    const char* bytes = size ? mmap(NULL, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, prepared, 0) : "";
    if (bytes == MAP_FAILED) return fail("mmap");
    int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) return fail(argv[3]);
    /* In turn, as a converter of blocks does: a block in, a block out. */
    size_t done = 0;
    ssize_t got = 1;
    while (got > 0 || done < size) {
        if (got > 0 && (got = read(in, block, kBlock)) < 0) return fail(argv[1]);
        size_t step = size - done < kBlock ? size - done : kBlock;
        ssize_t put = step ? write(out, bytes + done, step) : 0;
        if (put < 0) return fail(argv[3]);
        done += (size_t) put;
    }
    return close(out) != 0 ? fail(argv[3]) : 0;
}
