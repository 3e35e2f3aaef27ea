// A Wayland application of the tests' own: one xdg toplevel with the app id given on the command
// line, drawn once in plain white, open until the compositor closes it or the process is killed.
//   wayland_test_client <app-id>
#include "xdg-shell-client-protocol.h"

#include <wayland-client.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int width = 160;
constexpr int height = 120;

struct Client {
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wmBase = nullptr;
    wl_surface* surface = nullptr;
    wl_buffer* buffer = nullptr;
    bool closed = false;
};

void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t)
{
    auto* client = static_cast<Client*>(data);
    if (std::strcmp(interface, wl_compositor_interface.name) == 0)
        client->compositor = static_cast<wl_compositor*>(
            wl_registry_bind(registry, name, &wl_compositor_interface, 4));
    else if (std::strcmp(interface, wl_shm_interface.name) == 0)
        client->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0)
        client->wmBase =
            static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
}
void globalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener registryListener{global, globalRemove};

void ping(void*, xdg_wm_base* base, uint32_t serial)
{
    xdg_wm_base_pong(base, serial);
}
const xdg_wm_base_listener wmBaseListener{ping};

wl_buffer* whiteBuffer(wl_shm* shm)
{
    const int stride = width * 4;
    const int size = stride * height;
    const int fd = memfd_create("wayland-test-client", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, size) != 0)
        return nullptr;
    void* pixels = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pixels == MAP_FAILED)
        return nullptr;
    std::memset(pixels, 0xff, size);
    munmap(pixels, size);
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, size);
    wl_buffer* buffer =
        wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    return buffer;
}

void configure(void* data, xdg_surface* surface, uint32_t serial)
{
    auto* client = static_cast<Client*>(data);
    xdg_surface_ack_configure(surface, serial);
    if (!client->buffer)
        client->buffer = whiteBuffer(client->shm);
    wl_surface_attach(client->surface, client->buffer, 0, 0);
    wl_surface_damage(client->surface, 0, 0, width, height);
    wl_surface_commit(client->surface);
}
const xdg_surface_listener surfaceListener{configure};

void toplevelConfigure(void*, xdg_toplevel*, int32_t, int32_t, wl_array*) {}
void toplevelClose(void* data, xdg_toplevel*)
{
    static_cast<Client*>(data)->closed = true;
}
const xdg_toplevel_listener toplevelListener{toplevelConfigure, toplevelClose};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <app-id>\n", argv[0]);
        return 2;
    }
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "wayland_test_client: no Wayland display\n");
        return 1;
    }
    Client client;
    wl_registry_add_listener(wl_display_get_registry(display), &registryListener, &client);
    wl_display_roundtrip(display);
    if (!client.compositor || !client.shm || !client.wmBase) {
        std::fprintf(stderr, "wayland_test_client: the compositor lacks xdg-shell or wl_shm\n");
        return 1;
    }
    xdg_wm_base_add_listener(client.wmBase, &wmBaseListener, nullptr);
    client.surface = wl_compositor_create_surface(client.compositor);
    xdg_surface* surface = xdg_wm_base_get_xdg_surface(client.wmBase, client.surface);
    xdg_surface_add_listener(surface, &surfaceListener, &client);
    xdg_toplevel* toplevel = xdg_surface_get_toplevel(surface);
    xdg_toplevel_add_listener(toplevel, &toplevelListener, &client);
    xdg_toplevel_set_app_id(toplevel, argv[1]);
    xdg_toplevel_set_title(toplevel, "Test client");
    wl_surface_commit(client.surface);
    while (!client.closed && wl_display_dispatch(display) >= 0) {
    }
    wl_display_disconnect(display);
    return 0;
}
