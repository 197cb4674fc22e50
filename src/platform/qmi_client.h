#pragma once
// The modem's QMI client framework, as the modem service library uses it:
// one client per service, synchronous requests with a timeout, indications
// and service-loss callbacks on the framework's own thread, and a notifier
// that reports a service coming and going.  On the module this is the
// platform's library; the simulation build (qmi_client_sim.cpp) reaches the
// modem that the device simulator plays.  Message layouts are ours
// (qmi_services_v01.h).
#include <cstdint>

struct qmi_client_struct;
typedef struct qmi_client_struct *qmi_client_type;

struct qmi_idl_service_object;
typedef const struct qmi_idl_service_object *qmi_idl_service_object_type;

typedef int qmi_client_error_type;
typedef uint32_t qmi_service_instance;

/* Results of the framework calls. */
#define QMI_NO_ERR 0
#define QMI_INTERNAL_ERR (-1)
#define QMI_SERVICE_ERR (-2)   /* service absent or gone */
#define QMI_TIMEOUT_ERR (-3)   /* no response within the caller's timeout */
#define QMI_CLIENT_PARAM_ERR (-4)
#define QMI_CLIENT_INVALID_CLNT (-5)  /* unknown or released handle */
#define QMI_CLIENT_TRANSPORT_ERR (-6)
#define QMI_CLIENT_MSG_TOO_LONG (-7)  /* response larger than the caller's structure */
#define QMI_CLIENT_DECODE_ERR (-8)    /* message unknown or of the wrong size */

/* Any instance of the service will do (the box has one modem). */
#define QMI_CLIENT_INSTANCE_ANY 0xFFFFu

typedef enum {
    QMI_IDL_REQUEST = 0,
    QMI_IDL_RESPONSE = 1,
    QMI_IDL_INDICATION = 2,
} qmi_idl_type_of_message_type;

typedef enum {
    QMI_CLIENT_SERVICE_COUNT_INC = 1,  /* service came up */
    QMI_CLIENT_SERVICE_COUNT_DEC = 2,  /* service went away */
} qmi_client_notify_event_type;

/* Platform-specific options (signals, wait sets); unused in simulation. */
typedef struct {
    int unused;
} qmi_client_os_params;

typedef void (*qmi_client_ind_cb)(qmi_client_type user_handle, unsigned int msg_id, void *ind_buf,
                                  unsigned int ind_buf_len, void *ind_cb_data);
typedef void (*qmi_client_error_cb)(qmi_client_type user_handle, qmi_client_error_type error, void *err_cb_data);
typedef void (*qmi_client_notify_cb)(qmi_client_type user_handle, qmi_idl_service_object_type service_obj,
                                     qmi_client_notify_event_type service_event, void *notify_cb_data);

// C linkage: the module's libraries are C and export these names unmangled.
extern "C" {
/* Creates a client of the service.  `timeout_ms` bounds the wait for the
 * service to be found. */
qmi_client_error_type qmi_client_init_instance(qmi_idl_service_object_type service_obj,
                                               qmi_service_instance instance_id, qmi_client_ind_cb ind_cb,
                                               void *ind_cb_data, qmi_client_os_params *os_params,
                                               uint32_t timeout_ms, qmi_client_type *user_handle);

/* Sends one request and waits for its response.  The response structure is
 * zero-filled before the received message is copied in. */
qmi_client_error_type qmi_client_send_msg_sync(qmi_client_type user_handle, unsigned int msg_id, void *req_c_struct,
                                               unsigned int req_c_struct_len, void *resp_c_struct,
                                               unsigned int resp_c_struct_len, unsigned int timeout_msecs);

/* A handle that reports the service coming up and going down, once a notify
 * callback is registered. */
qmi_client_error_type qmi_client_notifier_init(qmi_idl_service_object_type service_obj,
                                               qmi_client_os_params *os_params, qmi_client_type *user_handle);

/* Service loss of a client: called once, on the framework's thread. */
qmi_client_error_type qmi_client_register_error_cb(qmi_client_type user_handle, qmi_client_error_cb err_cb,
                                                   void *err_cb_data);

/* Service up/down events of a notifier; a service that is up already is
 * reported at once. */
qmi_client_error_type qmi_client_register_notify_cb(qmi_client_type user_handle, qmi_client_notify_cb notify_cb,
                                                    void *notify_cb_data);

/* Ends a client or notifier; no callback of it runs after this returns
 * (unless it is called from that very callback). */
qmi_client_error_type qmi_client_release(qmi_client_type user_handle);

/* Decodes a received message of the handle's service into its structure. */
qmi_client_error_type qmi_client_message_decode(qmi_client_type user_handle,
                                                qmi_idl_type_of_message_type req_resp_ind, unsigned int message_id,
                                                const void *msg_buf, unsigned int msg_buf_len, void *msg_c_struct,
                                                unsigned int msg_c_struct_len);
}  // extern "C"
