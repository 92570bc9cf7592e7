<?xml version="1.0" encoding="UTF-8"?>
<!--
  Controllers page: the relay (web GUI) port and the CLI port of each controller.
  Posts controller_httpport_<id> and controller_cliport_<id> (id in hex) to controllers.cgi.
  Controllers are labelled from 1, as the alerts name them ("Controller 2" is id 1).
-->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">

  <xsl:include href="common.xsl"/>

  <xsl:variable name="active" select="'controllers'"/>

  <xsl:template match="kvo_omx_page" mode="content">
    <section class="card" aria-labelledby="ports-heading">
      <h2 id="ports-heading">Controller ports</h2>
      <p class="hint">Each controller's own web interface is relayed on its web GUI port.
        The CLI port is stored for the controller's command-line tools. Valid ports are 1 to 65534;
        changes take effect when the service is started next.</p>
      <xsl:choose>
        <xsl:when test="controllers/controller">
          <form method="post" action="controllers.cgi" id="ports-form">
            <table class="grid">
              <caption class="sr-only">Ports of each controller</caption>
              <thead>
                <tr>
                  <th scope="col">Controller</th>
                  <th scope="col">Web GUI port</th>
                  <th scope="col">CLI port</th>
                  <th scope="col">Web GUI</th>
                </tr>
              </thead>
              <tbody>
                <xsl:apply-templates select="controllers/controller"/>
              </tbody>
            </table>
            <div class="actions">
              <button type="submit" class="btn primary">Save ports</button>
              <button type="reset" class="btn">Undo changes</button>
            </div>
          </form>
        </xsl:when>
        <xsl:otherwise>
          <p class="empty">No controller was found on this host.</p>
        </xsl:otherwise>
      </xsl:choose>
    </section>
  </xsl:template>

  <xsl:template match="controller">
    <xsl:variable name="hexid">
      <xsl:call-template name="hex">
        <xsl:with-param name="n" select="number(@id)"/>
      </xsl:call-template>
    </xsl:variable>
    <xsl:variable name="label" select="concat('Controller ', number(@id) + 1)"/>
    <xsl:variable name="typed" select="/kvo_omx_page/typed[@form = 'controllers']"/>
    <xsl:variable name="stored" select="number(httpport)"/>
    <!-- The relay stays on the port it was opened on until the next start. -->
    <xsl:variable name="http">
      <xsl:choose>
        <xsl:when test="activeport"><xsl:value-of select="number(activeport)"/></xsl:when>
        <xsl:otherwise><xsl:value-of select="$stored"/></xsl:otherwise>
      </xsl:choose>
    </xsl:variable>
    <xsl:variable name="ip" select="normalize-space(/kvo_omx_page/ip)"/>
    <tr>
      <th scope="row"><xsl:value-of select="$label"/></th>
      <td data-label="Web GUI port">
        <label class="sr-only" for="controller_httpport_{$hexid}">Web GUI port of <xsl:value-of select="$label"/></label>
        <input type="number" id="controller_httpport_{$hexid}" name="controller_httpport_{$hexid}"
               min="1" max="65534" step="1" required="required" inputmode="numeric" placeholder="not set">
          <xsl:call-template name="port-or-typed">
            <xsl:with-param name="typed" select="$typed"/>
            <xsl:with-param name="name" select="concat('controller_httpport_', $hexid)"/>
            <xsl:with-param name="port" select="httpport"/>
          </xsl:call-template>
        </input>
        <xsl:if test="activeport and $stored != number(activeport) and $stored &gt;= 1 and $stored &lt;= 65534">
          <span class="pending">From the next start; now <xsl:choose>
              <xsl:when test="number(activeport) &gt; 0"><xsl:value-of select="activeport"/></xsl:when>
              <xsl:otherwise>off</xsl:otherwise>
            </xsl:choose>.</span>
        </xsl:if>
      </td>
      <td data-label="CLI port">
        <label class="sr-only" for="controller_cliport_{$hexid}">CLI port of <xsl:value-of select="$label"/></label>
        <input type="number" id="controller_cliport_{$hexid}" name="controller_cliport_{$hexid}"
               min="1" max="65534" step="1" required="required" inputmode="numeric" placeholder="not set">
          <xsl:call-template name="port-or-typed">
            <xsl:with-param name="typed" select="$typed"/>
            <xsl:with-param name="name" select="concat('controller_cliport_', $hexid)"/>
            <xsl:with-param name="port" select="cliport"/>
          </xsl:call-template>
        </input>
      </td>
      <td data-label="Web GUI">
        <xsl:choose>
          <xsl:when test="$http &gt;= 1 and $http &lt;= 65534 and $ip != '' and not(starts-with($ip, '['))">
            <a href="http://{$ip}:{$http}/" target="_blank" rel="noopener">Open<span class="sr-only"> the web GUI of <xsl:value-of select="$label"/></span></a>
          </xsl:when>
          <xsl:when test="$http &gt;= 1 and $http &lt;= 65534">
            <span class="muted">Port <xsl:value-of select="$http"/></span>
          </xsl:when>
          <xsl:otherwise>
            <span class="muted">Relay off</span>
          </xsl:otherwise>
        </xsl:choose>
      </td>
    </tr>
  </xsl:template>

</xsl:stylesheet>
