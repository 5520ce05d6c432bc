/*
 * posix/netwait.cc -- a default route in the kernel's routing tables, as
 * /proc/net shows them: a read of two small files, cheap enough to repeat
 * while waiting.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "config/netwait.h"

/* True for the flags (hexadecimal) of a route that only refuses: the
 * unreachable default that every namespace has for IPv6. */
static bool
netwait_rejects(const char *flags)
{
	return (strtoul(flags, NULL, 16) & 0x0200) != 0; /* RTF_REJECT */
}

/* True when `path` has a line whose first field equals `dest` and whose
 * field number `len_field` (from 0) equals `len` (the prefix length), or,
 * with `len_field` negative, whose mask field is all zero. */
static bool
netwait_table_has(const char *path, const char *dest, int len_field, const char *len)
{
	FILE *f = fopen(path, "r");
	if (f == NULL)
		return false;
	char line[512];
	bool found = false;
	while (!found && fgets(line, sizeof line, f) != NULL) {
		char field[10][64] = {};
		int n = sscanf(line, "%63s %63s %63s %63s %63s %63s %63s %63s %63s %63s", field[0],
		    field[1], field[2], field[3], field[4], field[5], field[6], field[7],
		    field[8], field[9]);
		if (n < 8)
			continue;
		if (len_field >= 0) /* ipv6_route: destination, its prefix length */
			found = strcmp(field[0], dest) == 0 && strcmp(field[len_field], len) == 0 &&
			    !netwait_rejects(field[8]);
		else /* route: interface, destination, ..., mask in the 8th field */
			found = strcmp(field[1], dest) == 0 && strcmp(field[7], "00000000") == 0;
	}
	(void)fclose(f);
	return found;
}

bool
netwait_have_route(void)
{
	return netwait_table_has("/proc/net/route", "00000000", -1, NULL) ||
	    netwait_table_has("/proc/net/ipv6_route", "00000000000000000000000000000000", 1,
	        "00");
}
