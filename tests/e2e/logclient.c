/* A small X client for the end-to-end tests: opens one or more windows of one class, paints
 * them a solid colour, and appends a line to a log file for every button press and key press
 * it receives, so that a test can prove that input aimed at a shield never reached it.
 *
 * logclient --log FILE [--class NAME] [--color RRGGBB] [--type TYPE] [--state STATE]
 *           [--opacity FRACTION] --geometry WxH+X+Y [--geometry ...]
 *
 * TYPE and STATE are EWMH suffixes (DIALOG, DOCK, ABOVE...), set before the windows map.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <xcb/xcb.h>

#define MAX_WINDOWS 32

static void set_string(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property, xcb_atom_t type,
                       const char* data, size_t length) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, property, type, 8, (uint32_t)length, data);
}

static xcb_atom_t intern(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, (uint16_t)strlen(name), name), NULL);
    xcb_atom_t atom = reply ? reply->atom : XCB_ATOM_NONE;
    free(reply);
    return atom;
}

int main(int argc, char** argv) {
    const char* log_path = NULL;
    const char* class_name = "LogClient";
    unsigned color = 0x3070c0;
    const char* type = NULL;
    const char* state = NULL;
    double opacity = -1;
    int count = 0;
    int geometry[MAX_WINDOWS][4];
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--log") == 0) {
            log_path = argv[i + 1];
        } else if (strcmp(argv[i], "--class") == 0) {
            class_name = argv[i + 1];
        } else if (strcmp(argv[i], "--type") == 0) {
            type = argv[i + 1];
        } else if (strcmp(argv[i], "--state") == 0) {
            state = argv[i + 1];
        } else if (strcmp(argv[i], "--opacity") == 0) {
            opacity = atof(argv[i + 1]);
        } else if (strcmp(argv[i], "--color") == 0) {
            color = (unsigned)strtoul(argv[i + 1], NULL, 16);
        } else if (strcmp(argv[i], "--geometry") == 0 && count < MAX_WINDOWS) {
            int* g = geometry[count];
            if (sscanf(argv[i + 1], "%dx%d+%d+%d", &g[0], &g[1], &g[2], &g[3]) == 4) {
                ++count;
            }
        }
    }
    if (log_path == NULL || count == 0) {
        fprintf(stderr,
                "usage: logclient --log FILE [--class NAME] [--color RRGGBB] "
                "--geometry WxH+X+Y...\n");
        return 2;
    }
    FILE* log = fopen(log_path, "a");
    if (log == NULL) {
        perror(log_path);
        return 2;
    }
    setvbuf(log, NULL, _IOLBF, 0);

    xcb_connection_t* c = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(c)) {
        fprintf(stderr, "logclient: cannot connect to the display\n");
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_atom_t net_wm_pid = intern(c, "_NET_WM_PID");
    xcb_atom_t net_wm_name = intern(c, "_NET_WM_NAME");
    xcb_atom_t utf8 = intern(c, "UTF8_STRING");

    /* WM_CLASS: instance and class, each NUL-terminated. */
    char wm_class[256];
    size_t instance_length = strlen("logclient") + 1;
    memcpy(wm_class, "logclient", instance_length);
    size_t class_length = strlen(class_name) + 1;
    if (instance_length + class_length > sizeof wm_class) {
        return 2;
    }
    memcpy(wm_class + instance_length, class_name, class_length);
    char host[256] = {0};
    gethostname(host, sizeof host - 1);

    for (int i = 0; i < count; ++i) {
        xcb_window_t w = xcb_generate_id(c);
        uint32_t values[] = {color, XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_KEY_PRESS |
                                        XCB_EVENT_MASK_EXPOSURE};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, (int16_t)geometry[i][2],
                          (int16_t)geometry[i][3], (uint16_t)geometry[i][0],
                          (uint16_t)geometry[i][1], 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        set_string(c, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, wm_class,
                   instance_length + class_length);
        set_string(c, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, class_name, strlen(class_name));
        set_string(c, w, net_wm_name, utf8, class_name, strlen(class_name));
        set_string(c, w, XCB_ATOM_WM_CLIENT_MACHINE, XCB_ATOM_STRING, host, strlen(host));
        uint32_t pid = (uint32_t)getpid();
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, net_wm_pid, XCB_ATOM_CARDINAL, 32, 1,
                            &pid);
        /* Placed where asked, even under a window manager. */
        uint32_t hints[18] = {0};
        hints[0] = 1 | 2 | 4 | 8; /* USPosition | USSize | PPosition | PSize */
        hints[1] = (uint32_t)geometry[i][2];
        hints[2] = (uint32_t)geometry[i][3];
        hints[3] = (uint32_t)geometry[i][0];
        hints[4] = (uint32_t)geometry[i][1];
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NORMAL_HINTS,
                            XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
        uint32_t wm_hints[9] = {1, 1, 0, 0, 0, 0, 0, 0, 0}; /* InputHint, input = True */
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32,
                            9, wm_hints);
        char name[128];
        if (type != NULL) {
            snprintf(name, sizeof name, "_NET_WM_WINDOW_TYPE_%s", type);
            xcb_atom_t atom = intern(c, name);
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, intern(c, "_NET_WM_WINDOW_TYPE"),
                                XCB_ATOM_ATOM, 32, 1, &atom);
        }
        if (state != NULL) {
            snprintf(name, sizeof name, "_NET_WM_STATE_%s", state);
            xcb_atom_t atom = intern(c, name);
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, intern(c, "_NET_WM_STATE"),
                                XCB_ATOM_ATOM, 32, 1, &atom);
        }
        if (opacity >= 0) {
            uint32_t value = (uint32_t)(opacity * 4294967295.0);
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, intern(c, "_NET_WM_WINDOW_OPACITY"),
                                XCB_ATOM_CARDINAL, 32, 1, &value);
        }
        xcb_map_window(c, w);
        printf("window 0x%x\n", w);
    }
    fflush(stdout);
    xcb_flush(c);

    xcb_generic_event_t* event;
    while ((event = xcb_wait_for_event(c)) != NULL) {
        switch (event->response_type & 0x7f) {
            case XCB_BUTTON_PRESS: {
                xcb_button_press_event_t* e = (xcb_button_press_event_t*)event;
                fprintf(log, "ButtonPress window=0x%x button=%u\n", e->event, e->detail);
                break;
            }
            case XCB_KEY_PRESS: {
                xcb_key_press_event_t* e = (xcb_key_press_event_t*)event;
                fprintf(log, "KeyPress window=0x%x keycode=%u\n", e->event, e->detail);
                break;
            }
            default:
                break;
        }
        free(event);
    }
    return 0;
}
