#include "dfu/dfu_serial.h"

#include <atomic>
#include <cstring>

#include "dfu/fw_crc.h"

namespace {

std::atomic<uint8_t> g_ping_id{0};
std::atomic<uint32_t> g_mtu{0};
std::atomic<uint32_t> g_round_trips{0};

uint32_t get_u32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void put_u32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// One request and its checked response.
int request(uart_drv_t *p_uart, const uint8_t *req, uint32_t req_len, uint8_t *rsp, uint32_t *p_len,
            bool *p_answered = nullptr) {
    if (p_answered != nullptr) *p_answered = false;
    int r = uart_slip_send(p_uart, req, req_len);
    if (r != 0) return r;
    return dfu_serial_get_rsp(p_uart, req[0], rsp, p_len, p_answered);
}

// Execute; *p_answered false when the target said nothing at all.
int execute_obj(uart_drv_t *p_uart, bool *p_answered) {
    const uint8_t req[] = {NRF_DFU_OP_OBJECT_EXECUTE};
    uint8_t rsp[kSlipMaxPayload];
    uint32_t len = 0;
    return request(p_uart, req, sizeof req, rsp, &len, p_answered);
}

// The last execute: the target validates the whole image here and answers
// before it restarts into it, so silence is a failure like an error answer.
// A rerun resumes cheaply: every byte is there, only the execute is repeated.
int execute_last_obj(uart_drv_t *p_uart) {
    bool answered = false;
    int r = execute_obj(p_uart, &answered);
    if (r != 0 && !answered) logger_error("No answer to the last execute!");
    return r;
}

}  // namespace

uint32_t dfu_serial_chunk_size(uint32_t mtu) {
    if (mtu < 5) return 0;
    uint32_t chunk = (mtu - 1) / 2 - 1;
    return chunk > kDfuMaxChunk ? kDfuMaxChunk : chunk;
}

uint32_t dfu_serial_round_trips(void) { return g_round_trips.load(); }

void dfu_serial_clear_round_trips(void) { g_round_trips.store(0); }

uint32_t dfu_serial_get_mtu(void) { return g_mtu.load(); }

int dfu_serial_check_rsp(uint8_t opcode, const uint8_t *rsp, uint32_t len, uint32_t *p_code) {
    if (p_code != nullptr) *p_code = 0;
    if (rsp == nullptr || len <= 2 || rsp[0] != NRF_DFU_OP_RESPONSE || rsp[1] != opcode) {
        logger_error("Invalid response!");
        return 1;
    }
    if (rsp[2] != NRF_DFU_RES_SUCCESS) {
        uint32_t code = len == 3 ? rsp[2] : (static_cast<uint32_t>(rsp[2]) << 8 | rsp[3]);
        if (p_code != nullptr) *p_code = code;
        logger_error("Bad result code (0x%X)!", code);
        return 1;
    }
    return 0;
}

int dfu_serial_get_rsp(uart_drv_t *p_uart, uint8_t opcode, uint8_t *rsp, uint32_t *p_len, bool *p_answered) {
    if (p_answered != nullptr) *p_answered = false;
    if (rsp == nullptr || p_len == nullptr) return 1;
    *p_len = 0;
    if (uart_slip_receive(p_uart, rsp, kSlipMaxPayload, p_len) != 0) return 1;
    if (p_answered != nullptr) *p_answered = true;
    g_round_trips.fetch_add(1);
    return dfu_serial_check_rsp(opcode, rsp, *p_len, nullptr);
}

int dfu_serial_ping(uart_drv_t *p_uart, uint8_t id) {
    const uint8_t req[] = {NRF_DFU_OP_PING, id};
    uint8_t rsp[kSlipMaxPayload];
    uint32_t len = 0;
    int r = request(p_uart, req, sizeof req, rsp, &len);
    if (r != 0) return r;
    if (len != 4 || rsp[3] != id) {
        logger_error("Bad ping id!");
        return 1;
    }
    return 0;
}

int dfu_serial_open(uart_drv_t *p_uart) {
    // The id only has to differ from the last one, so an old answer is not taken for this one.
    uint8_t id = static_cast<uint8_t>(g_ping_id.fetch_add(1) + 1);
    int r = dfu_serial_ping(p_uart, id);
    if (r != 0) return r;

    const uint16_t prn = 0;
    logger_info_2("Set Packet Receipt Notification %u", static_cast<unsigned>(prn));
    const uint8_t prn_req[] = {NRF_DFU_OP_RECEIPT_NOTIF_SET, static_cast<uint8_t>(prn), static_cast<uint8_t>(prn >> 8)};
    uint8_t rsp[kSlipMaxPayload];
    uint32_t len = 0;
    r = request(p_uart, prn_req, sizeof prn_req, rsp, &len);
    if (r != 0) return r;

    const uint8_t mtu_req[] = {NRF_DFU_OP_MTU_GET};
    r = request(p_uart, mtu_req, sizeof mtu_req, rsp, &len);
    if (r != 0) return r;
    if (len != 5) {
        logger_error("Invalid MTU!");
        return 1;
    }
    g_mtu.store(static_cast<uint32_t>(rsp[3]) | static_cast<uint32_t>(rsp[4]) << 8);
    return 0;
}

int dfu_serial_close(uart_drv_t *) { return 0; }

int dfu_serial_select_obj(uart_drv_t *p_uart, uint8_t obj_type, uint32_t *p_max_size, uint32_t *p_offset,
                          uint32_t *p_crc) {
    logger_info_2("Selecting Object: type:%u", static_cast<unsigned>(obj_type));
    const uint8_t req[] = {NRF_DFU_OP_OBJECT_SELECT, obj_type};
    uint8_t rsp[kSlipMaxPayload];
    uint32_t len = 0;
    int r = request(p_uart, req, sizeof req, rsp, &len);
    if (r != 0) return r;
    if (len != 15) {
        logger_error("Invalid object response!");
        return 1;
    }
    *p_max_size = get_u32(rsp + 3);
    *p_offset = get_u32(rsp + 7);
    *p_crc = get_u32(rsp + 11);
    logger_info_2("Object selected:  max_size:%u offset:%u crc:0x%08X", *p_max_size, *p_offset, *p_crc);
    return 0;
}

int dfu_serial_create_obj(uart_drv_t *p_uart, uint8_t obj_type, uint32_t obj_size) {
    uint8_t req[6] = {NRF_DFU_OP_OBJECT_CREATE, obj_type};
    put_u32(req + 2, obj_size);
    uint8_t rsp[kSlipMaxPayload];
    uint32_t len = 0;
    return request(p_uart, req, sizeof req, rsp, &len);
}

int dfu_serial_execute_obj(uart_drv_t *p_uart) { return execute_obj(p_uart, nullptr); }

int dfu_serial_stream_data_crc(uart_drv_t *p_uart, const uint8_t *p_data, uint32_t data_size, uint32_t pos,
                               uint32_t *p_crc) {
    logger_info_2("Streaming Data: len:%u offset:%u crc:0x%08X", data_size, pos, p_crc != nullptr ? *p_crc : 0u);
    if (p_data == nullptr || data_size == 0 || p_crc == nullptr) return 1;
    const uint32_t chunk = dfu_serial_chunk_size(g_mtu.load());
    if (chunk == 0) {
        logger_error("MTU is too small to send data!");
        return 1;
    }
    uint8_t req[1 + kDfuMaxChunk];
    req[0] = NRF_DFU_OP_OBJECT_WRITE;
    for (uint32_t off = 0; off < data_size; off += chunk) {
        const uint32_t n = data_size - off < chunk ? data_size - off : chunk;
        memcpy(req + 1, p_data + off, n);
        int r = uart_slip_send(p_uart, req, n + 1);
        if (r != 0) return r;
    }
    *p_crc = crc32_compute(p_data, data_size, p_crc);

    const uint8_t crc_req[] = {NRF_DFU_OP_CRC_GET};
    uint8_t rsp[kSlipMaxPayload];
    uint32_t len = 0;
    int r = request(p_uart, crc_req, sizeof crc_req, rsp, &len);
    if (r != 0) return r;
    if (len != 11) {
        logger_error("Invalid CRC response!");
        return 1;
    }
    const uint32_t offset = get_u32(rsp + 3);
    const uint32_t crc = get_u32(rsp + 7);
    if (offset != pos + data_size) {
        logger_error("Invalid offset (%u -> %u)!", pos + data_size, offset);
        return 2;
    }
    if (crc != *p_crc) {
        logger_error("Invalid CRC (0x%08X -> 0x%08X)!", *p_crc, crc);
        return 2;
    }
    return 0;
}

int dfu_serial_send_init_packet(uart_drv_t *p_uart, const uint8_t *p_data, uint32_t data_size) {
    logger_info_1("Sending init packet...");
    if (p_data == nullptr || data_size == 0) {
        logger_error("Invalid init packet!");
        return 1;
    }
    uint32_t max_size = 0, offset = 0, crc = 0;
    int r = dfu_serial_select_obj(p_uart, NRF_DFU_OBJ_TYPE_COMMAND, &max_size, &offset, &crc);
    if (r != 0) return r;

    if (offset != 0 && offset <= data_size && crc32_compute(p_data, offset, nullptr) == crc) {
        if (offset == data_size) return dfu_serial_execute_obj(p_uart);
        uint32_t running = crc;
        r = dfu_serial_stream_data_crc(p_uart, p_data + offset, data_size - offset, offset, &running);
        if (r == 0) return dfu_serial_execute_obj(p_uart);
        if (r != 2) return r;
        // The target holds something else after all: start the packet afresh.
    }
    if (max_size < data_size) {
        logger_error("Init packet too big!");
        return 1;
    }
    r = dfu_serial_create_obj(p_uart, NRF_DFU_OBJ_TYPE_COMMAND, data_size);
    if (r != 0) return r;
    uint32_t running = 0;
    r = dfu_serial_stream_data_crc(p_uart, p_data, data_size, 0, &running);
    if (r != 0) return r;
    return dfu_serial_execute_obj(p_uart);
}

int dfu_serial_send_firmware(uart_drv_t *p_uart, const uint8_t *p_data, uint32_t data_size) {
    logger_info_1("Sending firmware file...");
    if (p_data == nullptr || data_size == 0) {
        logger_error("Invalid firmware data!");
        return 1;
    }
    uint32_t max_size = 0, offset = 0, crc = 0;
    int r = dfu_serial_select_obj(p_uart, NRF_DFU_OBJ_TYPE_DATA, &max_size, &offset, &crc);
    if (r != 0) return r;
    if (offset > data_size) {
        logger_error("Invalid firmware offset reported!");
        return 1;
    }
    if (max_size == 0) {
        // An object size of 0 would never let the transfer advance.
        logger_error("Invalid object response!");
        return 1;
    }

    if (offset != 0) {
        const uint32_t part = offset % max_size;
        if (crc32_compute(p_data, offset, nullptr) == crc) {
            if (part != 0) {
                // Complete the partly written object, but never past the image's end.
                uint32_t remain = max_size - part;
                if (remain > data_size - offset) remain = data_size - offset;
                uint32_t running = crc;
                r = remain == 0 ? 0 : dfu_serial_stream_data_crc(p_uart, p_data + offset, remain, offset, &running);
                if (r == 0) {
                    const bool last = offset + remain == data_size;
                    r = last ? execute_last_obj(p_uart) : dfu_serial_execute_obj(p_uart);
                    if (r != 0) return r;
                    offset += remain;
                } else if (r == 2) {
                    offset -= part;
                } else {
                    return r;
                }
            } else {
                r = offset == data_size ? execute_last_obj(p_uart) : dfu_serial_execute_obj(p_uart);
                if (r != 0) return r;
            }
        } else {
            offset -= part != 0 ? part : max_size;
        }
    }

    uint32_t running = offset == 0 ? 0 : crc32_compute(p_data, offset, nullptr);
    r = 0;
    while (offset < data_size) {
        const uint32_t n = data_size - offset < max_size ? data_size - offset : max_size;
        r = dfu_serial_create_obj(p_uart, NRF_DFU_OBJ_TYPE_DATA, n);
        if (r != 0) return r;
        r = dfu_serial_stream_data_crc(p_uart, p_data + offset, n, offset, &running);
        if (r != 0) return r;
        offset += n;
        if (offset < data_size) {
            r = dfu_serial_execute_obj(p_uart);
            if (r != 0) return r;
        } else {
            r = execute_last_obj(p_uart);
        }
    }
    return r;
}
