// A manifest document that uses every element and attribute the parser knows, wrapped in
// grouping elements of its own at several depths.
#pragma once

#include <string_view>

namespace tvrn::test {

inline constexpr std::string_view kFullManifest = R"xml(<?xml version="1.0" encoding="UTF-8"?>
<manifest version="42" tvrn_version="3.0.200" published="2026-12-01T08:00:00Z" signature="c2ln">
  <capabilities><capability type="jxa" min_engine="3.0.0"/><capability type="http_remote"/></capabilities>
  <tools>
    <group name="mail"><subgroup>
      <tool name="mail_search" category="read" timeout_ms="15000">
        <description>
          Search the mailbox
        </description>
        <param name="query" type="string" required="true" max_length="200"/>
        <param name="limit" type="int" default="10" min="1" max="+50"/>
        <param name="flagged" type="bool" required="yes"/><param name="ids" type="array"/>
        <requires_tcc service="automation" level="read" denied_message="Allow Mail"/>
        <requires_tcc service="contacts"/>
        <telemetry event="mail_searched">
          <tag name="q" from_param="query" redact="true"/><tag name="kind" value="search"/>
          <tag name="has_query" from_param="query" transform="non_empty"/>
        </telemetry>
        <behavior type="jxa"><![CDATA[
          return Application("Mail").inbox().length < 5 && "<done>";
        ]]></behavior>
      </tool>
    </subgroup></group>
    <tool name="notes_count" destructive="false" timeout_ms="">
      <behavior type="applescript"><script>tell application "Notes" to count notes</script></behavior>
    </tool>
    <tool name="calendar_list">
      <behavior type="helper"><method>calendar.list</method><script>ignored</script></behavior>
    </tool>
    <tool name="local_items">
      <behavior type="http_local"><base_url>http://127.0.0.1:9000</base_url><path>/v1</path></behavior>
    </tool>
    <tool name="digest" destructive="true">
      <preview_template>Will send the digest to {{to}}</preview_template>
      <param name="to" type="email"/>
      <behavior type="compose"><step tool="mail_search" params='{"q":"{{q}}"}'/><step tool="x"/></behavior>
    </tool>
    <tool name="system_info"><behavior type="native"><handler>system.info</handler></behavior></tool>
    <tool name="fan_out">
      <behavior type="parallel">
        <step tool="mail_search"/><on_partial_failure>include_errors</on_partial_failure>
      </behavior>
    </tool>
    <tool name="recent"><behavior type="sqlite"><db_path>r.db</db_path><query>SELECT 1</query></behavior></tool>
    <tool name="branch">
      <behavior type="conditional">
        <if condition="engine_gte:3.0.0"/>
        <then><behavior type="cache" ttl_seconds="60">
          <inner><behavior type="helper"><method>fresh</method></behavior></inner>
        </behavior></then>
        <else><behavior type="conditional"><else><text> too old </text></else></behavior></else>
      </behavior>
    </tool>
    <tool name="remote_post">
      <behavior type="http_remote">
        <url>https://example.invalid/hook</url><method>POST</method><timeout_ms>2500</timeout_ms>
        <header name="X-A" value="1"/><header name="X-A" value="2"/><header/>
      </behavior>
    </tool>
    <tool name="prefs"><behavior type="plist"><path>a.plist</path><key_path>a.b</key_path></behavior></tool>
    <tool name="keys"><behavior type="plist"><path>b.plist</path><operation>keys</operation></behavior></tool>
    <tool name="cached_nothing"><behavior type="cache" ttl_seconds="soon"/></tool>
    <tool name="future_kind"><behavior type="wasm"/></tool>
  </tools>
  <ui><section>
    <banner id="perm" condition="tcc_missing" priority="high">
      <title>Grant access</title><body>Open the settings</body><action type="open" pane="privacy"/>
    </banner>
  </section></ui>
  <banner id="hello"><title>Hello</title></banner>
  <page name="settings" src="https://example.invalid/s.html"/><page name="blank" src=""/><page src="x"/>
  <config>
    <set key="beats" value="12"/><set key="empty" value=""/><set key="no_value"/>
    <set key="twice" value="1"/><set key="twice" value="2"/><group><set key="nested" value="x"/></group>
  </config>
  <ai_clients>
    <client id="claude" name="Claude" cfg="~/.config/Claude/config.json" schema="servers"
            detect="/usr/bin/claude , ~/.claude,,	/opt/claude " cloud_note="Cloud only"/>
    <client id="zed"/>
  </ai_clients>
  <services>
    <service id="mail" name="Mail" icon="envelope" perms="Read, Write" tools="mail_search"
             read_key="mail_read" write_key="mail_write" has_default="true">
      <setup title="Enable Mail"><step>Open Mail</step><step> </step><step>Allow access</step></setup>
    </service>
    <service id="notes" perms=""><setup/></service>
    <group><service id="nested"/></group>
  </services>
  <setup><step>stray</step></setup>
  <disabled_tools><disabled name="future_kind"/><disabled name=""/><disabled/></disabled_tools>
</manifest>
)xml";

}  // namespace tvrn::test
