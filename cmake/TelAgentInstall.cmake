# What goes on the module, as component "box" under a prefix that stands for
# its root: the agent, the host that loads it, and a default configuration
# without the broker account (provisioning adds MqttUserName and MqttUserPass).
#   cmake --install <build> --component box --prefix <staging> --strip
# tools/dist.sh packs it with a manifest.
install(TARGETS TelAgent LIBRARY DESTINATION iot/lib COMPONENT box NAMELINK_SKIP)
if(TARGET telagent-host)
  install(TARGETS telagent-host RUNTIME DESTINATION iot/bin COMPONENT box)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/dist/iot.ini DESTINATION iot/conf COMPONENT box)
