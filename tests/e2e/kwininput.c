/* Input for the KDE tests: clicks at points of the screen and key presses, injected into KWin
 * through its fake-input protocol (which KWin allows only with its permission checks off, as in
 * a test session: KWIN_WAYLAND_NO_PERMISSION_CHECKS=1).
 *
 * It reads commands from standard input, one per line, and answers each with "ok" once KWin
 * has taken it:
 *   click X Y    move the pointer to X, Y and press and release the primary button
 *   key          press and release the A key
 * KWin's seat has a pointer only while a client such as this one provides it; so that clients
 * have bound theirs before the first click, the program runs for the whole test and says
 * "ready" first.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wayland-client.h>

#include "fake-input-client-protocol.h"

/* linux/input-event-codes.h */
#define BUTTON_LEFT 0x110
#define KEY_A 30

static struct org_kde_kwin_fake_input* fake;

static void global(void* data, struct wl_registry* registry, uint32_t name,
                   const char* interface, uint32_t version) {
    (void)data;
    if (strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 && version >= 4) {
        fake = wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4);
    }
}

static void global_remove(void* data, struct wl_registry* registry, uint32_t name) {
    (void)data;
    (void)registry;
    (void)name;
}

static const struct wl_registry_listener listener = {global, global_remove};

int main(void) {
    struct wl_display* display = wl_display_connect(NULL);
    if (display == NULL) {
        fprintf(stderr, "kwininput: no Wayland display\n");
        return 1;
    }
    struct wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &listener, NULL);
    wl_display_roundtrip(display);
    if (fake == NULL) {
        fprintf(stderr, "kwininput: the compositor offers no fake input (version 4)\n");
        return 1;
    }
    org_kde_kwin_fake_input_authenticate(fake, "shield-helper tests", "end-to-end input");
    /* The first event makes KWin add the device, and the seat its pointer and keyboard. */
    org_kde_kwin_fake_input_pointer_motion(fake, wl_fixed_from_int(0), wl_fixed_from_int(0));
    if (wl_display_roundtrip(display) < 0) {
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    char line[256];
    while (fgets(line, sizeof line, stdin) != NULL) {
        double x = 0, y = 0;
        if (sscanf(line, "click %lf %lf", &x, &y) == 2) {
            org_kde_kwin_fake_input_pointer_motion_absolute(fake, wl_fixed_from_double(x),
                                                            wl_fixed_from_double(y));
            org_kde_kwin_fake_input_button(fake, BUTTON_LEFT, WL_POINTER_BUTTON_STATE_PRESSED);
            org_kde_kwin_fake_input_button(fake, BUTTON_LEFT, WL_POINTER_BUTTON_STATE_RELEASED);
        } else if (strncmp(line, "key", 3) == 0) {
            org_kde_kwin_fake_input_keyboard_key(fake, KEY_A, WL_KEYBOARD_KEY_STATE_PRESSED);
            org_kde_kwin_fake_input_keyboard_key(fake, KEY_A, WL_KEYBOARD_KEY_STATE_RELEASED);
        } else {
            printf("unknown command\n");
            fflush(stdout);
            continue;
        }
        if (wl_display_roundtrip(display) < 0) {
            return 1;
        }
        printf("ok\n");
        fflush(stdout);
    }
    wl_display_disconnect(display);
    return 0;
}
