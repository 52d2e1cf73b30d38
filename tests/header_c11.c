/* Compiled as strict C11: the public header must stand on its own in C. */
#include "kestle.h"

int kestle_header_c11_check(void);
int kestle_header_c11_check(void)
{
    SockMapTable table;
    table.count = 0;
    return (int)sizeof table + osal_sockmap_count();
}
