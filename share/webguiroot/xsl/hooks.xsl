<?xml version="1.0" encoding="UTF-8"?>
<!--
  Hooks page: the webhooks every event is posted to (shown without user:password
  or query), the hooks directory and the programs in it now. Two forms, posted to
  hooks.cgi:
    func=AddWebhook     webhook_url, webhook_format (generic | alertmanager)
    func=RemoveWebhook  slot (a listed webhook's number)
-->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">

  <xsl:include href="common.xsl"/>

  <xsl:variable name="active" select="'hooks'"/>

  <xsl:template match="kvo_omx_page" mode="content">
    <xsl:variable name="typed" select="typed[@form = 'AddWebhook']"/>
    <section class="card" aria-labelledby="webhooks-heading">
      <h2 id="webhooks-heading">Webhooks</h2>
      <p class="hint">Every event is posted as JSON to each webhook, retried like mail; each call may
        take at most <xsl:value-of select="webhooks/@bound"/> s. Redirects are not followed.</p>
      <xsl:choose>
        <xsl:when test="webhooks/webhook">
          <table class="grid" id="webhooks">
            <thead>
              <tr><th scope="col">URL</th><th scope="col">Format</th><th scope="col"><span class="sr-only">Remove</span></th></tr>
            </thead>
            <tbody>
              <xsl:for-each select="webhooks/webhook">
                <tr>
                  <td data-label="URL"><xsl:value-of select="url"/></td>
                  <td data-label="Format"><xsl:value-of select="@format"/></td>
                  <td>
                    <form method="post" action="hooks.cgi">
                      <input type="hidden" name="func" value="RemoveWebhook"/>
                      <input type="hidden" name="slot" value="{@slot}"/>
                      <button type="submit" class="btn">Remove</button>
                    </form>
                  </td>
                </tr>
              </xsl:for-each>
            </tbody>
          </table>
        </xsl:when>
        <xsl:otherwise><p class="empty">No webhooks.</p></xsl:otherwise>
      </xsl:choose>
      <form method="post" action="hooks.cgi" id="add-webhook-form">
        <input type="hidden" name="func" value="AddWebhook"/>
        <div class="fields">
          <div class="field">
            <label for="webhook_url">URL</label>
            <input type="text" id="webhook_url" name="webhook_url" maxlength="2000" autocomplete="off"
                   placeholder="https://alerts.example.com:9093/">
              <xsl:if test="$typed">
                <xsl:attribute name="value"><xsl:value-of select="$typed/field[@name = 'webhook_url']"/></xsl:attribute>
                <xsl:attribute name="aria-invalid">true</xsl:attribute>
              </xsl:if>
            </input>
          </div>
          <div class="field">
            <label for="webhook_format">Format</label>
            <select id="webhook_format" name="webhook_format">
              <option value="generic">Generic JSON</option>
              <option value="alertmanager">
                <xsl:if test="$typed/field[@name = 'webhook_format'] = 'alertmanager'">
                  <xsl:attribute name="selected">selected</xsl:attribute>
                </xsl:if>
                Alertmanager (v2 alerts API)</option>
            </select>
          </div>
        </div>
        <div class="actions">
          <button type="submit" class="btn">Add webhook</button>
        </div>
      </form>
    </section>

    <section class="card" aria-labelledby="hooks-heading">
      <h2 id="hooks-heading">Command hooks</h2>
      <p class="hint">Each program in <code><xsl:value-of select="hooks/directory"/></code> is run once per
        event with the event in KVOOMX_* environment variables, for at most
        <xsl:value-of select="hooks/@bound"/> s. Exit status 0: delivered; 75: try again later; any
        other: failed.</p>
      <xsl:choose>
        <xsl:when test="hooks/hook">
          <ul id="hooks">
            <xsl:for-each select="hooks/hook"><li><xsl:value-of select="."/></li></xsl:for-each>
          </ul>
        </xsl:when>
        <xsl:otherwise><p class="empty">No hooks in this directory.</p></xsl:otherwise>
      </xsl:choose>
    </section>
  </xsl:template>

</xsl:stylesheet>
