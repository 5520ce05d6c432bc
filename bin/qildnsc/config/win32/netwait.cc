/*
 * win32/netwait.cc -- the Windows build does not read the routing table
 * yet: it always has a route, so a start there never waits.
 */
#include "config/netwait.h"

bool
netwait_have_route(void)
{
	return true;
}
