#pragma once
// What a service object is in the simulation build: the service number and
// the table of its messages with their sizes, so that received messages can
// be checked before they are copied into a structure.
#include <cstddef>
#include <cstdint>

#include "platform/qmi_client.h"

struct qmi_msg_desc_sim {
    qmi_idl_type_of_message_type type;
    uint16_t msg_id;
    uint32_t size;
};

struct qmi_idl_service_object {
    uint8_t service_id;
    const char *name;
    int32_t max_minor;
    const qmi_msg_desc_sim *msgs;
    size_t msg_count;
};

// The message's entry in its service's table; nullptr when unknown.
const qmi_msg_desc_sim *qmi_sim_find_msg(qmi_idl_service_object_type obj, qmi_idl_type_of_message_type type,
                                         unsigned int msg_id);
