/*
 * tray_icon.h -- the program's icon and the title shown beside it: the
 * icon's theme name, and its pixels at the three sizes that the tray item
 * offers to hosts that cannot look it up in an icon theme. The pixels are
 * defined by a source that the build writes from the installed PNG files
 * (tray_icon_pixels.py); they never change, and the first thread reads them.
 */
#ifndef QILDNSC_TRAY_ICON_H
#define QILDNSC_TRAY_ICON_H

#include <stdint.h>

/* The tray item's title and tool tip, and the balloon's title. */
#define TRAY_TITLE "Quillet DNS Client"
/* The icon's name in the hicolor theme (share/icons/hicolor/NxN/apps/). */
#define TRAY_ICON_NAME "qildnsc"

#define TRAY_ICON_IMAGES 3

/* One square image: `size` rows of `size` pixels, 4 bytes each (alpha,
 * red, green, blue), not premultiplied. */
struct tray_icon_image {
	int32_t size;
	const uint8_t *argb;
};

/* 16, 32 and 48 pixels, smallest first. */
extern const struct tray_icon_image tray_icon_images[TRAY_ICON_IMAGES];

#endif
