/* Compiled as strict C11: the public header must stand on its own in C. */
#include "kestle.h"

int kestle_header_c11_check(void);
int kestle_header_c11_check(void)
{
    SockMapTable table;
    iovec piece = {0, 0};
    PipeFrame frame;
    InputEvent event;
    table.count = 0;
    frame.length = piece.iov_len;
    event.type = 0;
    return (int)(sizeof table + sizeof frame + sizeof event) + event.type + osal_sockmap_count();
}
