#pragma once
// Simulation-only view into the QMI framework stand-in, for tests.

// Clients created by qmi_client_init_instance since the process started.
int qmi_client_sim_instances(void);
// Clients and notifiers currently open.
int qmi_client_sim_open_handles(void);
