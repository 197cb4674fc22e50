#include "core/devsim_root.h"

#include "core/devsim_files.h"

std::string devsim_iot_ini(const std::string &host, int port) {
    const std::string p = std::to_string(port);
    return "[IotCfg]\n"
           "MqttHost=" + host + "\n"
           "MqttPort=" + p + "\n"
           "MqttPing=60\n"
           "MqttUserName=ebikeiot\n"
           "MqttUserPass=hQ4rusLent\n"
           "MqttTestHost=" + host + "\n"
           "MqttTestPort=" + p + "\n"
           "MqttOfficialHost=" + host + "\n"
           "MqttOfficialPort=" + p + "\n"
           "WorkingMode=1\n"
           "ReportingInterval=10\n";
}

bool devsim_host_ok(const std::string &host) {
    if (host.empty() || host.size() > 253) return false;
    for (char c : host) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == ':';
        if (!ok) return false;
    }
    return true;
}

int devsim_create_root(const std::string &root, const RootSetup &setup, std::string *err) {
    static const char *const kDirs[] = {
        "/iot/conf", "/iot/lib", "/iot/log", "/var", "/var/devsim", "/var/sim", "/media/ram",
        "/dev",      "/tmp",     "/sdcard",  "/proc", "/sys/bus/spmi/drivers/qcom,qpnp-power-on",
        "/sys/bus/platform/drivers/ledctrl",
    };
    for (const char *d : kDirs) {
        if (devsim_mkdirs(root + d) != 0) {
            *err = "cannot create " + root + d;
            return -1;
        }
    }
    const std::string pon = root + "/sys/bus/spmi/drivers/qcom,qpnp-power-on";
    struct {
        std::string path;
        std::string content;
    } files[] = {
        {pon + "/on_reason", "0\n"},
        {pon + "/off_reason", "0\n"},
        {root + "/iot/conf/iot.ini", devsim_iot_ini(setup.mqtt_host, setup.mqtt_port)},
        {root + "/iot/conf/libiot.ini", "/iot/lib/libTelAgent.so\n"},
    };
    for (const auto &f : files) {
        if (devsim_write_file(f.path, f.content) != 0) {
            *err = "cannot write " + f.path;
            return -1;
        }
    }
    if (!setup.lib.empty() && devsim_symlink(setup.lib, root + "/iot/lib/libTelAgent.so") != 0) {
        *err = "cannot link " + root + "/iot/lib/libTelAgent.so";
        return -1;
    }
    return 0;
}
