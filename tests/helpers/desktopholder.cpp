// Stays on the Wine desktop for a whole test run. The desktop process ends a
// second after its last other user has gone; a test process that then starts
// it again passes it its standard handles, and a test reading that process's
// output would wait for an end that never comes while the desktop lives.
#include <windows.h>

int main()
{
    // Any call that needs the desktop makes this thread one of its users.
    GetDesktopWindow();
    for (;;)
        Sleep(INFINITE);
}
