<?xml version="1.0" encoding="UTF-8"?>
<!--
  SNMP page: three trap receivers and the event levels that are sent as traps.
  Posts func=SetSnmp, trap_client_<n> (n decimal), trap_port_<n> (n hex) and
  check_info / check_warn / check_error to snmp.cgi; a second form posts
  func=SendTestTrap (one trap to every saved receiver).
-->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">

  <xsl:include href="common.xsl"/>

  <xsl:variable name="active" select="'snmp'"/>

  <xsl:template match="kvo_omx_page" mode="content">
    <form method="post" action="snmp.cgi" id="snmp-form">
      <input type="hidden" name="func" value="SetSnmp"/>
      <section class="card" aria-labelledby="receivers-heading">
        <h2 id="receivers-heading">Trap receivers</h2>
        <p class="hint">Events are sent as SNMPv2c traps to every receiver with an address.
          Leave the address empty to switch a receiver off. The usual trap port is 162 (1 to 65535).</p>
        <table class="grid">
          <caption class="sr-only">Trap receivers</caption>
          <thead>
            <tr>
              <th scope="col">Receiver</th>
              <th scope="col">IPv4 address</th>
              <th scope="col">UDP port</th>
            </tr>
          </thead>
          <tbody>
            <xsl:apply-templates select="snmp/client"/>
          </tbody>
        </table>
      </section>
      <section class="card" aria-labelledby="levels-heading">
        <h2 id="levels-heading">Event levels</h2>
        <p class="hint">Only events of the checked levels are sent. With none checked, no trap is sent.</p>
        <fieldset>
          <legend>Send traps for</legend>
          <div class="checks">
            <xsl:call-template name="level-check">
              <xsl:with-param name="field" select="'check_info'"/>
              <xsl:with-param name="label" select="'Information'"/>
              <xsl:with-param name="on" select="boolean(snmp/information)"/>
            </xsl:call-template>
            <xsl:call-template name="level-check">
              <xsl:with-param name="field" select="'check_warn'"/>
              <xsl:with-param name="label" select="'Warning'"/>
              <xsl:with-param name="on" select="boolean(snmp/warning)"/>
            </xsl:call-template>
            <xsl:call-template name="level-check">
              <xsl:with-param name="field" select="'check_error'"/>
              <xsl:with-param name="label" select="'Error'"/>
              <xsl:with-param name="on" select="boolean(snmp/error)"/>
            </xsl:call-template>
          </div>
        </fieldset>
        <div class="actions">
          <button type="submit" class="btn primary">Save SNMP settings</button>
          <button type="reset" class="btn">Undo changes</button>
        </div>
      </section>
    </form>
    <section class="card" aria-labelledby="test-heading">
      <h2 id="test-heading">Try it</h2>
      <form method="post" action="snmp.cgi" id="test-trap-form">
        <input type="hidden" name="func" value="SendTestTrap"/>
        <p class="hint" id="test-trap-note">Sends one test trap now to every saved receiver, whatever
          the event levels, so you can see whether traps from this host arrive. Save your changes first.</p>
        <div class="actions">
          <button type="submit" class="btn" aria-describedby="test-trap-note">Send test trap</button>
        </div>
      </form>
    </section>
  </xsl:template>

  <xsl:template match="client">
    <xsl:variable name="id" select="number(@id)"/>
    <xsl:variable name="typed" select="/kvo_omx_page/typed[@form = 'SetSnmp']"/>
    <xsl:variable name="hexid">
      <xsl:call-template name="hex">
        <xsl:with-param name="n" select="$id"/>
      </xsl:call-template>
    </xsl:variable>
    <tr>
      <th scope="row">Receiver <xsl:value-of select="$id"/></th>
      <td data-label="IPv4 address">
        <label class="sr-only" for="trap_client_{$id}">IPv4 address of receiver <xsl:value-of select="$id"/></label>
        <input type="text" id="trap_client_{$id}" name="trap_client_{$id}"
               maxlength="31" inputmode="decimal" autocomplete="off" placeholder="e.g. 192.0.2.10"
               pattern="((25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\.){{3}}(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"
               title="Four numbers from 0 to 255 without leading zeros, separated by dots, for example 192.0.2.10">
          <xsl:call-template name="value-attr">
            <xsl:with-param name="typed" select="$typed"/>
            <xsl:with-param name="name" select="concat('trap_client_', $id)"/>
            <xsl:with-param name="stored" select="ip"/>
          </xsl:call-template>
        </input>
      </td>
      <td data-label="UDP port">
        <label class="sr-only" for="trap_port_{$hexid}">UDP port of receiver <xsl:value-of select="$id"/></label>
        <input type="number" id="trap_port_{$hexid}" name="trap_port_{$hexid}"
               min="1" max="65535" step="1" inputmode="numeric">
          <xsl:call-template name="port-or-typed">
            <xsl:with-param name="typed" select="$typed"/>
            <xsl:with-param name="name" select="concat('trap_port_', $hexid)"/>
            <xsl:with-param name="port" select="port"/>
          </xsl:call-template>
        </input>
      </td>
    </tr>
  </xsl:template>

  <xsl:template name="level-check">
    <xsl:param name="field"/>
    <xsl:param name="label"/>
    <xsl:param name="on"/>
    <label>
      <input type="checkbox" name="{$field}" value="on">
        <xsl:call-template name="checked-attr">
          <xsl:with-param name="typed" select="/kvo_omx_page/typed[@form = 'SetSnmp']"/>
          <xsl:with-param name="name" select="$field"/>
          <xsl:with-param name="stored" select="$on"/>
        </xsl:call-template>
      </input>
      <xsl:value-of select="$label"/>
    </label>
  </xsl:template>

</xsl:stylesheet>
