<?xml version="1.0" encoding="UTF-8"?>
<!--
  Events page: each controller's last answer, the recorded events newest first
  with the trap receivers and the fate of each mail, webhook and hook, and two actions posted to
  events.cgi: func=ResendEvent with event=<id>, func=SendTestEvent with level=I|W|E.
  Older events are paged with events.cgi?offset=N.
-->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">

  <xsl:include href="common.xsl"/>

  <xsl:variable name="active" select="'events'"/>

  <xsl:template match="kvo_omx_page" mode="content">
    <section class="card" aria-labelledby="controllers-heading">
      <h2 id="controllers-heading">Controllers</h2>
      <xsl:choose>
        <xsl:when test="controllers/controller">
          <table class="grid" id="controller-polls">
            <thead>
              <tr><th scope="col">Controller</th><th scope="col">State</th><th scope="col">Last answer</th></tr>
            </thead>
            <tbody>
              <xsl:for-each select="controllers/controller">
                <tr>
                  <th scope="row">Controller <xsl:value-of select="@number"/></th>
                  <td data-label="State">
                    <xsl:choose>
                      <xsl:when test="@answering = '1'"><span class="state on">answers</span></xsl:when>
                      <xsl:otherwise><span class="state off">does not answer</span></xsl:otherwise>
                    </xsl:choose>
                  </td>
                  <td data-label="Last answer">
                    <xsl:choose>
                      <xsl:when test="lastanswer"><xsl:value-of select="lastanswer"/></xsl:when>
                      <xsl:otherwise><span class="muted">none since the service started</span></xsl:otherwise>
                    </xsl:choose>
                  </td>
                </tr>
              </xsl:for-each>
            </tbody>
          </table>
        </xsl:when>
        <xsl:otherwise><p class="empty">No controller has been polled yet.</p></xsl:otherwise>
      </xsl:choose>
    </section>

    <section class="card" aria-labelledby="events-heading">
      <h2 id="events-heading">Events</h2>
      <xsl:if test="events/@memory = '1'">
        <p class="hint">The event ledger file cannot be used: these events are kept in memory only.</p>
      </xsl:if>
      <xsl:choose>
        <xsl:when test="events/event">
          <p class="hint">
            <xsl:value-of select="events/@offset + 1"/> to
            <xsl:value-of select="events/@offset + count(events/event)"/> of
            <xsl:value-of select="events/@total"/>, newest first.
          </p>
          <table class="grid" id="events">
            <thead>
              <tr>
                <th scope="col">Received</th><th scope="col">Controller</th><th scope="col">Level</th>
                <th scope="col">Event</th><th scope="col">Delivery</th>
              </tr>
            </thead>
            <tbody>
              <xsl:apply-templates select="events/event"/>
            </tbody>
          </table>
          <div class="actions">
            <xsl:if test="events/@offset &gt; 0">
              <a class="btn" href="events.cgi?offset={(events/@offset - events/@perpage) * number(events/@offset - events/@perpage &gt; 0)}">Newer events</a>
            </xsl:if>
            <xsl:if test="events/@offset + count(events/event) &lt; events/@total">
              <a class="btn" href="events.cgi?offset={events/@offset + count(events/event)}">Older events</a>
            </xsl:if>
          </div>
        </xsl:when>
        <xsl:otherwise><p class="empty">No events have been recorded yet.</p></xsl:otherwise>
      </xsl:choose>
    </section>

    <section class="card" aria-labelledby="test-heading">
      <h2 id="test-heading">Try it</h2>
      <form method="post" action="events.cgi" id="test-event-form">
        <input type="hidden" name="func" value="SendTestEvent"/>
        <p class="hint" id="test-event-note">Sends a test event through the whole path: it is recorded, sent as a
          trap and mailed by the same level filters as a controller's event, posted to every webhook, handed
          to every hook, and listed here.</p>
        <div class="field">
          <label for="test-level">Level</label>
          <select id="test-level" name="level">
            <option value="I">Information</option>
            <option value="W">Warning</option>
            <option value="E" selected="selected">Error</option>
          </select>
        </div>
        <div class="actions">
          <button type="submit" class="btn" aria-describedby="test-event-note">Send test event</button>
        </div>
      </form>
    </section>
  </xsl:template>

  <xsl:template match="event">
    <tr>
      <td data-label="Received"><xsl:value-of select="received"/></td>
      <td data-label="Controller">
        <xsl:choose>
          <xsl:when test="string(controller)">Controller <xsl:value-of select="controller"/></xsl:when>
          <xsl:otherwise><span class="muted">test</span></xsl:otherwise>
        </xsl:choose>
      </td>
      <td data-label="Level"><span class="badge {@level}"><xsl:value-of select="@level"/></span></td>
      <td data-label="Event">
        <div><xsl:value-of select="text"/></div>
        <div class="muted"><xsl:value-of select="time"/></div>
      </td>
      <td data-label="Delivery">
        <div>
          <xsl:choose>
            <xsl:when test="traps/trap">Trap to
              <xsl:for-each select="traps/trap">
                <xsl:if test="position() &gt; 1">, </xsl:if><xsl:value-of select="."/>
              </xsl:for-each>
            </xsl:when>
            <xsl:otherwise><span class="muted">No trap</span></xsl:otherwise>
          </xsl:choose>
        </div>
        <xsl:choose>
          <xsl:when test="mails/mail">
            <ul class="mails">
              <xsl:apply-templates select="mails/mail"/>
            </ul>
          </xsl:when>
          <xsl:otherwise><div class="muted">No mail</div></xsl:otherwise>
        </xsl:choose>
        <xsl:if test="deliveries/delivery">
          <ul class="mails hooks">
            <xsl:apply-templates select="deliveries/delivery"/>
          </ul>
        </xsl:if>
        <xsl:if test="mails/mail or deliveries/delivery">
          <form method="post" action="events.cgi">
            <input type="hidden" name="func" value="ResendEvent"/>
            <input type="hidden" name="event" value="{@id}"/>
            <button type="submit" class="btn">Send again now</button>
          </form>
        </xsl:if>
      </td>
    </tr>
  </xsl:template>

  <xsl:template match="mail | delivery">
    <li class="mail-{@status}">
      <xsl:if test="@kind = 'webhook'">Webhook </xsl:if>
      <xsl:if test="@kind = 'hook'">Hook </xsl:if>
      <xsl:value-of select="address"/>
      <xsl:text>: </xsl:text>
      <xsl:choose>
        <xsl:when test="@status = 'sent'">sent</xsl:when>
        <xsl:when test="@status = 'retry' and @attempts = '0'">being sent</xsl:when>
        <xsl:when test="@status = 'retry'">will retry at <xsl:value-of select="@at"/></xsl:when>
        <xsl:otherwise>failed</xsl:otherwise>
      </xsl:choose>
      <xsl:if test="reason">
        <xsl:text> (</xsl:text><xsl:value-of select="reason"/><xsl:text>)</xsl:text>
      </xsl:if>
    </li>
  </xsl:template>

</xsl:stylesheet>
