#pragma once
// MQTT session with the operator's broker: one asynchronous client, the four
// request subscriptions of the box, publishing, and the once-a-second
// supervisor that tears the client down and builds a new one when the session
// is lost.
//
// Every call on the client happens under the MQTT lock or from one of the
// client's own callbacks while the client is live; the callbacks never create
// or destroy a client and never wait for the MQTT lock (see
// docs/architecture.md, "MQTT session").
#include "core/iot_common.h"

// Table slots (reached through dev_mqtt_*).
// Starts a connection with the broker record: 0 when the attempt was started,
// -1 otherwise.  A client that still exists is torn down first.
int hostcore_mqtt_connect(mqtt_conf_t *conf);
// Does nothing; the supervisor owns the session.  Returns 0.
int hostcore_mqtt_disconnect(void);
// Dumps the bytes and publishes them on "/iotresp/<IMEI>".  1 when handed to
// the client, else 0.
int hostcore_mqtt_pub(const unsigned char *data, int len);
// Publishes `len` bytes of `text` on `topic` with QoS 1, not retained.  1 when
// handed to the client, 0 when dropped (not subscribed, no client, refused).
int hostcore_mqtt_post(const char *topic, const char *text, int len);
// Waits until every publish handed to the client so far was acknowledged or
// failed, at most timeout_ms.  1 when all finished, 0 on time-out.
int mqtt_wait_delivered(int timeout_ms);
// Stores the receive handler.  Returns 0.
int hostcore_mqtt_recv_register(mqtt_recv_cb_t cb);
// The registered cloud receive handler (nullptr before registration).
mqtt_recv_cb_t get_mqtt_callback(void);

// Start-up: makes the MQTT lock usable.  Returns 0.
int init_mqtt(void);
// The supervisor, once a second from the supervision loop.  0 or -1.
int check_mqqt_connected(void);

// Reads the broker record and starts a connection under the MQTT lock.  0.
int connect_mqtt(void);
// Tears the client down under the MQTT lock and waits for its calls to end.
void free_mqtt(void);

// The supervision loop's MQTT step: hands one supervisor pass
// (check_mqqt_connected, with a reconnect's waits) to the session's own
// worker and returns at once.  1 when handed over, 0 when the previous pass is
// still running (this second's pass is then the one after it).
int mqtt_supervise(void);
// 1 while a handed-over pass or a teardown is waiting or running.
int mqtt_supervise_busy(void);
// The LTE manager's teardown when it takes the data connection down: the
// client is out of use when this returns, and is ended on the session's worker
// (after the pass running there, before the next), so the caller never waits.
void free_mqtt_later(void);

// 1 when a client exists, the library reports it connected and a subscription
// was confirmed; else 0.
int get_mqqt_connected(void);
// The subscribed flag (0/1); get_mqtt_status is 1 when it is 1.
int get_mqtt_subscribel(void);
int get_mqtt_status(void);
// Asks the supervisor to reconnect at its next pass (flag 1).  Returns 1.
int set_mqtt_Reregister(int flag);

// The MQTT lock; both do nothing before init_mqtt.  Never from the receive
// handler: a teardown holding the lock waits for that handler to return.
// connect_mqtt and free_mqtt take the client's life lock before this one, so
// they are never called with this lock held.
void mqtt_lock(void);
void mqtt_unlock(void);

// Supervisor counters, for diagnostics.
int get_mqtt_failed_count(void);
int get_mqtt_retry_count(void);
int get_mqtt_force_redial(void);
// Clients created and not yet destroyed (0 or 1 in a sound run).
int get_mqtt_client_count(void);
