// A program to be started by the shell with no arguments: it creates the file
// named by the environment variable KT_START_MARK, so the starter can see
// that it ran.
#include <cstdio>
#include <cstdlib>

int main()
{
    const char *mark = getenv("KT_START_MARK");
    if (!mark || !*mark)
        return 2;
    FILE *f = fopen(mark, "wb");
    if (!f)
        return 1;
    fputs("started\n", f);
    return fclose(f) == 0 ? 0 : 1;
}
