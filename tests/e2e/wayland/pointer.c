/* A pointer for a compositor without input devices: reads commands from
 * standard input, one a line, and sends them as a virtual pointer's events.
 *   move X Y      absolute motion to (X, Y) on the output (set by "extent")
 *   extent W H    the size of the output in pixels (default 1280 x 1024)
 *   down / up     press / release the left button
 *   click         press and release the left button
 *   sleep MS      wait
 * Exits 0 once standard input ends, 1 when the compositor has no virtual
 * pointer or a line is not understood. */
#include <linux/input-event-codes.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <wayland-client.h>

#include "virtual-pointer-client-protocol.h"

static struct zwlr_virtual_pointer_manager_v1 *manager;

static void handle_global(void *data, struct wl_registry *registry, uint32_t name,
                          const char *interface, uint32_t version) {
    (void)data;
    (void)version;
    if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
        manager = wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
}

static void handle_global_remove(void *data, struct wl_registry *registry, uint32_t name) {
    (void)data;
    (void)registry;
    (void)name;
}

static const struct wl_registry_listener registry_listener = {handle_global, handle_global_remove};

static uint32_t now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

static void sleep_ms(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&ts, NULL);
}

static void button(struct zwlr_virtual_pointer_v1 *pointer, int pressed) {
    zwlr_virtual_pointer_v1_button(pointer, now_ms(), BTN_LEFT,
                                   pressed ? WL_POINTER_BUTTON_STATE_PRESSED
                                           : WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(pointer);
}

int main(void) {
    struct wl_display *display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "pointer: no Wayland display\n");
        return 1;
    }
    struct wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, NULL);
    wl_display_roundtrip(display);
    if (!manager) {
        fprintf(stderr, "pointer: the compositor offers no virtual pointer\n");
        return 1;
    }
    struct zwlr_virtual_pointer_v1 *pointer =
        zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, NULL);

    unsigned width = 1280, height = 1024;
    char line[128];
    int status = 0;
    while (status == 0 && fgets(line, sizeof line, stdin)) {
        unsigned x, y;
        long ms;
        if (sscanf(line, "extent %u %u", &x, &y) == 2 && x > 0 && y > 0) {
            width = x;
            height = y;
        } else if (sscanf(line, "move %u %u", &x, &y) == 2 && x <= width && y <= height) {
            zwlr_virtual_pointer_v1_motion_absolute(pointer, now_ms(), x, y, width, height);
            zwlr_virtual_pointer_v1_frame(pointer);
        } else if (strcmp(line, "down\n") == 0) {
            button(pointer, 1);
        } else if (strcmp(line, "up\n") == 0) {
            button(pointer, 0);
        } else if (strcmp(line, "click\n") == 0) {
            button(pointer, 1);
            wl_display_flush(display);
            sleep_ms(30);
            button(pointer, 0);
        } else if (sscanf(line, "sleep %ld", &ms) == 1 && ms >= 0 && ms <= 60000) {
            wl_display_flush(display);
            sleep_ms(ms);
        } else if (line[0] != '\n' && line[0] != '#') {
            fprintf(stderr, "pointer: not understood: %s", line);
            status = 1;
        }
        if (wl_display_roundtrip(display) < 0) {
            fprintf(stderr, "pointer: the compositor closed the connection\n");
            status = 1;
        }
    }
    zwlr_virtual_pointer_v1_destroy(pointer);
    zwlr_virtual_pointer_manager_v1_destroy(manager);
    wl_display_roundtrip(display);
    wl_display_disconnect(display);
    return status;
}
