#include "vehicle/usart_ecu_handle.h"

#include <atomic>
#include <cstdio>

#include "core/logging.h"
#include "vehicle/factory_test.h"
#include "vehicle/frame_codec.h"
#include "vehicle/serial_line.h"

namespace {

const SerialLineConfig kEcuCfg = {
    "ecu", "/dev/ttyHSL3", 115200, 5, 2100, 100, true, false, " ecu get new buf failed ", "test_factory_com_recv",
};

std::atomic<dev_recv_cb_t> g_ecu_cb{nullptr};

}  // namespace

SerialLine &ecu_line(void) {
    static SerialLine *line = new SerialLine(kEcuCfg);
    return *line;
}

int init_factory_usart(void) {
    SerialLine &l = ecu_line();
    if (!l.open_port()) {
        printf("start open com usart_ecu_fd[%d][%s]---------------------- .\n", l.fd(), kEcuCfg.device);
        printf("%d/%s open_com_failed.\n", __LINE__, __func__);
        return 0;
    }
    l.recv_thread.start(test_factory_com_recv);
    l.dispatch_thread.start(factory_uart_handle_loop);
    return 1;
}

// Nothing to bring up beyond the factory line itself.
int init_orlin_ecu(void) { return 0; }

int ecu_write_com(const uint8_t *data, int len) {
    if (len <= 0) return 0;
    return ecu_line().write_bytes(data, static_cast<size_t>(len));
}

int write_data_to_ecu(const unsigned char *data, int len) {
    dhex("write_data_to_DealerTool:", data, len);
    return ecu_write_com(data, len);
}

uint8_t *ecu_get_new_buf(void) { return ecu_line().pool().take(); }

void test_factory_com_recv(void) { ecu_line().recv_frames(); }

void factory_uart_handle_loop(void) {
    ecu_line().dispatch_once([](const uint8_t *frame, size_t len) {
        if (len <= 254) {
            dhex("--->>> factory_mode_recv <<<---", frame, static_cast<int>(len));
            printf("[factory_mode] ## msg_id =%x \r\n", frame_msg_id(frame));
        }
        factory_mode_dispatch(frame, static_cast<int>(len));
    });
}

int hostcore_ECU_recv_register(dev_recv_cb_t cb) {
    g_ecu_cb.store(cb);
    return 0;
}

// The dealer-tool frames are run by the factory table; nothing else listens.
int dev_ECU_recv_handler(const unsigned char *, int) { return 0; }
