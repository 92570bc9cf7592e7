<?xml version="1.0" encoding="UTF-8"?>
<!--
  E-mail page: the SMTP account used for notifications and the recipients.
  Three forms, all posted to email.cgi:
    func=SetSmtp         smtpadd, fromadd, lognamedd, passdd (empty keeps the stored
                         password), clearpass, port, enable, security (none | starttls |
                         tls), tlsverify (on | off), cafile (empty: the system's store)
    func=DeleteRecipient check_<n> = address of each recipient to delete
    func=SetRecipientLevels  email, check_info / check_warn / check_error (one form per row)
    func=AddRecipient    email, name, check_info / check_warn / check_error
    func=SendTestMail    testrcpt (a listed address) or testaddr (typed; wins)
-->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">

  <xsl:include href="common.xsl"/>

  <xsl:variable name="active" select="'email'"/>

  <xsl:template match="kvo_omx_page" mode="content">
    <xsl:apply-templates select="setting" mode="smtp"/>
    <xsl:apply-templates select="setting/recipients"/>
    <xsl:call-template name="add-recipient"/>
    <xsl:apply-templates select="setting" mode="test"/>
  </xsl:template>

  <!-- A test mail through the saved account, to a listed or a typed address. -->
  <xsl:template match="setting" mode="test">
    <section class="card" aria-labelledby="test-heading">
      <h2 id="test-heading">Send a test mail</h2>
      <form method="post" action="email.cgi" id="test-mail-form">
        <input type="hidden" name="func" value="SendTestMail"/>
        <p class="hint" id="test-mail-note">Sends one mail now through the saved mail server, so you
          can see at once whether it works. Save the mail server first.</p>
        <div class="fields">
          <xsl:if test="recipients/recipient">
            <div class="field">
              <label for="testrcpt">Recipient</label>
              <select id="testrcpt" name="testrcpt">
                <xsl:for-each select="recipients/recipient">
                  <option value="{email}">
                    <xsl:value-of select="email"/>
                    <xsl:if test="normalize-space(name) != ''"> (<xsl:value-of select="name"/>)</xsl:if>
                  </option>
                </xsl:for-each>
              </select>
            </div>
          </xsl:if>
          <div class="field">
            <label for="testaddr">
              <xsl:choose>
                <xsl:when test="recipients/recipient">Or another address</xsl:when>
                <xsl:otherwise>Address</xsl:otherwise>
              </xsl:choose>
            </label>
            <input type="email" id="testaddr" name="testaddr" maxlength="127" autocomplete="off"
                   placeholder="admin@example.com">
              <xsl:if test="not(recipients/recipient)">
                <xsl:attribute name="required">required</xsl:attribute>
              </xsl:if>
            </input>
          </div>
        </div>
        <div class="actions">
          <button type="submit" class="btn" aria-describedby="test-mail-note">Send test mail</button>
        </div>
      </form>
    </section>
  </xsl:template>

  <!-- SMTP account. The stored password is never sent to the browser. -->
  <xsl:template match="setting" mode="smtp">
    <xsl:variable name="smtp" select="smtp"/>
    <xsl:variable name="typed" select="/kvo_omx_page/typed[@form = 'SetSmtp']"/>
    <xsl:variable name="security">
      <xsl:choose>
        <xsl:when test="$typed/field[@name = 'security']"><xsl:value-of select="$typed/field[@name = 'security']"/></xsl:when>
        <xsl:otherwise><xsl:value-of select="$smtp/security"/></xsl:otherwise>
      </xsl:choose>
    </xsl:variable>
    <xsl:variable name="tlsverify">
      <xsl:choose>
        <xsl:when test="$typed/field[@name = 'tlsverify']"><xsl:value-of select="$typed/field[@name = 'tlsverify']"/></xsl:when>
        <xsl:otherwise><xsl:value-of select="$smtp/tlsverify"/></xsl:otherwise>
      </xsl:choose>
    </xsl:variable>
    <section class="card" aria-labelledby="smtp-heading">
      <h2 id="smtp-heading">Mail server</h2>
      <p class="hint">
        <xsl:choose>
          <xsl:when test="not($smtp)">No mail server is set up yet. </xsl:when>
          <xsl:when test="$smtp/@enabled = '0'">Notification by e-mail is <span class="state off">off</span>. </xsl:when>
          <xsl:otherwise>Notification by e-mail is <span class="state on">on</span>. </xsl:otherwise>
        </xsl:choose>
        Events are mailed through this SMTP server to every recipient below whose levels match.
      </p>
      <form method="post" action="email.cgi" id="smtp-form">
        <input type="hidden" name="func" value="SetSmtp"/>
        <div class="fields">
          <div class="field">
            <label for="smtpadd">SMTP server</label>
            <input type="text" id="smtpadd" name="smtpadd" maxlength="63"
                   required="required" autocomplete="off" placeholder="mail.example.com">
              <xsl:call-template name="value-attr">
                <xsl:with-param name="typed" select="$typed"/>
                <xsl:with-param name="name" select="'smtpadd'"/>
                <xsl:with-param name="stored" select="$smtp/server"/>
              </xsl:call-template>
            </input>
          </div>
          <div class="field">
            <label for="port">Port</label>
            <input type="number" id="port" name="port" min="1" max="65535" step="1" inputmode="numeric"
                   placeholder="25" aria-describedby="port-note" required="required">
              <xsl:call-template name="port-or-typed">
                <xsl:with-param name="typed" select="$typed"/>
                <xsl:with-param name="name" select="'port'"/>
                <xsl:with-param name="port" select="$smtp/port"/>
              </xsl:call-template>
            </input>
            <span class="note" id="port-note">1 to 65535. Usually 587 with STARTTLS, 465 with TLS from the start.</span>
          </div>
          <div class="field">
            <label for="fromadd">Sender address</label>
            <input type="text" id="fromadd" name="fromadd" maxlength="63"
                   required="required" inputmode="email" autocomplete="off" placeholder="raid@example.com">
              <xsl:call-template name="value-attr">
                <xsl:with-param name="typed" select="$typed"/>
                <xsl:with-param name="name" select="'fromadd'"/>
                <xsl:with-param name="stored" select="$smtp/from"/>
              </xsl:call-template>
            </input>
          </div>
          <div class="field">
            <label for="lognamedd">Login name</label>
            <!-- "off" and "new-password": the browser must not offer the login of
                 these pages (or any other saved login) for the mail account. -->
            <input type="text" id="lognamedd" name="lognamedd" maxlength="63"
                   autocomplete="off" aria-describedby="login-note">
              <xsl:call-template name="value-attr">
                <xsl:with-param name="typed" select="$typed"/>
                <xsl:with-param name="name" select="'lognamedd'"/>
                <xsl:with-param name="stored" select="$smtp/logname"/>
              </xsl:call-template>
            </input>
            <span class="note" id="login-note">Leave empty if the server accepts mail without a login.</span>
          </div>
          <div class="field">
            <label for="passdd">Password</label>
            <!-- No maxlength: a pasted key must not be cut short silently; the
                 service refuses one longer than 63 characters. -->
            <input type="password" id="passdd" name="passdd" value=""
                   autocomplete="new-password" aria-describedby="pass-note"/>
            <span class="note" id="pass-note">
              <xsl:choose>
                <xsl:when test="$smtp/@password = 'stored'">A password is stored (not shown). Leave this empty to keep it.</xsl:when>
                <xsl:otherwise>No password is stored.</xsl:otherwise>
              </xsl:choose>
              At most 63 characters.</span>
            <xsl:if test="$smtp/@password = 'stored'">
              <label class="check"><input type="checkbox" id="clearpass" name="clearpass" value="on"/>
                Clear the stored password</label>
            </xsl:if>
          </div>
        </div>
        <fieldset>
          <legend>Connection security</legend>
          <div class="fields">
            <div class="field">
              <label for="security">Encryption</label>
              <select id="security" name="security" aria-describedby="security-note">
                <xsl:call-template name="choice">
                  <xsl:with-param name="value" select="'none'"/>
                  <xsl:with-param name="current" select="$security"/>
                  <xsl:with-param name="label" select="'None (plain text)'"/>
                </xsl:call-template>
                <xsl:call-template name="choice">
                  <xsl:with-param name="value" select="'starttls'"/>
                  <xsl:with-param name="current" select="$security"/>
                  <xsl:with-param name="label" select="'STARTTLS (usually port 587)'"/>
                </xsl:call-template>
                <xsl:call-template name="choice">
                  <xsl:with-param name="value" select="'tls'"/>
                  <xsl:with-param name="current" select="$security"/>
                  <xsl:with-param name="label" select="'TLS from the start (usually port 465)'"/>
                </xsl:call-template>
              </select>
              <span class="note" id="security-note">Without encryption the login name, the password and
                every mail cross the network readable. A mail that can't be sent encrypted is not
                sent in plain text instead.</span>
            </div>
            <div class="field">
              <label for="tlsverify">Server certificate</label>
              <select id="tlsverify" name="tlsverify" aria-describedby="tlsverify-note">
                <xsl:call-template name="choice">
                  <xsl:with-param name="value" select="'on'"/>
                  <xsl:with-param name="current" select="$tlsverify"/>
                  <xsl:with-param name="label" select="'Verify'"/>
                </xsl:call-template>
                <xsl:call-template name="choice">
                  <xsl:with-param name="value" select="'off'"/>
                  <xsl:with-param name="current" select="$tlsverify"/>
                  <xsl:with-param name="label" select="'Do not verify (accept any certificate)'"/>
                </xsl:call-template>
              </select>
              <span class="note" id="tlsverify-note">Verify: the certificate must come from an authority
                this system trusts and name the SMTP server above. Not verifying still encrypts, but
                anyone who can intercept the connection can pose as the mail server and read the
                password and the mails. Use it only for a local relay with a self-signed certificate.</span>
            </div>
            <div class="field">
              <label for="cafile">Trusted authority file</label>
              <input type="text" id="cafile" name="cafile" maxlength="255" autocomplete="off"
                     placeholder="the system's authorities" aria-describedby="cafile-note">
                <xsl:call-template name="value-attr">
                  <xsl:with-param name="typed" select="$typed"/>
                  <xsl:with-param name="name" select="'cafile'"/>
                  <xsl:with-param name="stored" select="$smtp/cafile"/>
                </xsl:call-template>
              </input>
              <span class="note" id="cafile-note">Only if your mail server's certificate comes from your
                organisation's own certificate authority: the full path of that authority's certificate
                (PEM) on this host, for example /etc/kvoomx/mail-ca.pem. Empty: the authorities this
                system trusts.</span>
            </div>
          </div>
        </fieldset>
        <fieldset>
          <legend>Notification</legend>
          <label class="check">
            <input type="checkbox" name="enable" value="on">
              <xsl:call-template name="checked-attr">
                <xsl:with-param name="typed" select="$typed"/>
                <xsl:with-param name="name" select="'enable'"/>
                <xsl:with-param name="stored" select="not($smtp) or $smtp/@enabled != '0'"/>
              </xsl:call-template>
            </input>
            Send e-mail when an event occurs
          </label>
        </fieldset>
        <div class="actions">
          <button type="submit" class="btn primary">Save mail server</button>
          <button type="reset" class="btn">Undo changes</button>
        </div>
      </form>
      <!-- Suggestions only: picking port 587 or 465 picks its usual encryption, and
           picking an encryption fills in its usual port unless another was typed. -->
      <script>
        (function () {
          var port = document.getElementById('port');
          var security = document.getElementById('security');
          if (!port || !security) return;
          var modeOfPort = { '587': 'starttls', '465': 'tls' };
          var portOfMode = { none: '25', starttls: '587', tls: '465' };
          port.addEventListener('change', function () {
            var mode = modeOfPort[port.value.trim()];
            if (mode) security.value = mode;
          });
          security.addEventListener('change', function () {
            var typed = port.value.trim();
            if (typed === '' || typed === '25' || typed === '587' || typed === '465')
              port.value = portOfMode[security.value];
          });
        })();
      </script>
    </section>
  </xsl:template>

  <!-- One option of a select, selected when it is the stored value (the first
       option is the default when nothing is stored). -->
  <xsl:template name="choice">
    <xsl:param name="value"/>
    <xsl:param name="current"/>
    <xsl:param name="label"/>
    <option value="{$value}">
      <xsl:if test="string($current) = $value">
        <xsl:attribute name="selected">selected</xsl:attribute>
      </xsl:if>
      <xsl:value-of select="$label"/>
    </option>
  </xsl:template>

  <xsl:template match="recipients">
    <section class="card" aria-labelledby="rcpt-heading">
      <h2 id="rcpt-heading">Recipients</h2>
      <xsl:choose>
        <xsl:when test="recipient">
          <form method="post" action="email.cgi" id="delete-form">
            <input type="hidden" name="func" value="DeleteRecipient"/>
            <table class="grid">
              <caption class="sr-only">Mail recipients</caption>
              <thead>
                <tr>
                  <th scope="col"><span class="sr-only">Select</span></th>
                  <th scope="col">Name</th>
                  <th scope="col">Address</th>
                  <th scope="col">Levels</th>
                </tr>
              </thead>
              <tbody>
                <xsl:apply-templates select="recipient"/>
              </tbody>
            </table>
            <div class="actions">
              <button type="submit" class="btn danger">Delete selected</button>
            </div>
          </form>
          <!-- One small form per recipient for its levels; its fields sit in the
               table through their form attribute, outside the delete form. -->
          <xsl:for-each select="recipient">
            <form method="post" action="email.cgi" id="levels-{position()}">
              <input type="hidden" name="func" value="SetRecipientLevels"/>
              <input type="hidden" name="email" value="{email}"/>
            </form>
          </xsl:for-each>
        </xsl:when>
        <xsl:otherwise>
          <p class="empty">No recipients yet. Add one below.</p>
        </xsl:otherwise>
      </xsl:choose>
    </section>
  </xsl:template>

  <xsl:template match="recipient">
    <xsl:variable name="n" select="position()"/>
    <tr>
      <td data-label="Select">
        <input type="checkbox" id="check_{$n}" name="check_{$n}" value="{email}"/>
        <label class="sr-only" for="check_{$n}">Select <xsl:value-of select="email"/></label>
      </td>
      <td data-label="Name">
        <xsl:choose>
          <xsl:when test="normalize-space(name) != ''"><xsl:value-of select="name"/></xsl:when>
          <xsl:otherwise><span class="muted">(no name)</span></xsl:otherwise>
        </xsl:choose>
      </td>
      <td data-label="Address"><xsl:value-of select="email"/></td>
      <td data-label="Levels">
        <div class="levels-edit" role="group" aria-label="Levels of {email}">
          <xsl:call-template name="level-box">
            <xsl:with-param name="n" select="$n"/>
            <xsl:with-param name="field" select="'check_info'"/>
            <xsl:with-param name="label" select="'Information'"/>
            <xsl:with-param name="on" select="boolean(information)"/>
          </xsl:call-template>
          <xsl:call-template name="level-box">
            <xsl:with-param name="n" select="$n"/>
            <xsl:with-param name="field" select="'check_warn'"/>
            <xsl:with-param name="label" select="'Warning'"/>
            <xsl:with-param name="on" select="boolean(warning)"/>
          </xsl:call-template>
          <xsl:call-template name="level-box">
            <xsl:with-param name="n" select="$n"/>
            <xsl:with-param name="field" select="'check_error'"/>
            <xsl:with-param name="label" select="'Error'"/>
            <xsl:with-param name="on" select="boolean(error)"/>
          </xsl:call-template>
          <button type="submit" class="btn small" form="levels-{$n}">Save levels<span class="sr-only"> of <xsl:value-of select="email"/></span></button>
        </div>
      </td>
    </tr>
  </xsl:template>

  <!-- A level box of recipient row $n, sent with that row's levels form only. -->
  <xsl:template name="level-box">
    <xsl:param name="n"/>
    <xsl:param name="field"/>
    <xsl:param name="label"/>
    <xsl:param name="on"/>
    <label>
      <input type="checkbox" name="{$field}" value="on" form="levels-{$n}">
        <xsl:if test="$on"><xsl:attribute name="checked">checked</xsl:attribute></xsl:if>
      </input>
      <xsl:value-of select="$label"/>
    </label>
  </xsl:template>

  <xsl:template name="add-recipient">
    <xsl:variable name="typed" select="/kvo_omx_page/typed[@form = 'AddRecipient']"/>
    <section class="card" aria-labelledby="add-heading">
      <h2 id="add-heading">Add a recipient</h2>
      <form method="post" action="email.cgi" id="add-form">
        <input type="hidden" name="func" value="AddRecipient"/>
        <div class="fields">
          <div class="field">
            <label for="email">E-mail address</label>
            <input type="email" id="email" name="email" maxlength="127" required="required"
                   autocomplete="off" placeholder="admin@example.com">
              <xsl:call-template name="value-attr">
                <xsl:with-param name="typed" select="$typed"/>
                <xsl:with-param name="name" select="'email'"/>
                <xsl:with-param name="stored" select="''"/>
              </xsl:call-template>
            </input>
          </div>
          <div class="field">
            <label for="name">Name</label>
            <input type="text" id="name" name="name" maxlength="63" pattern="[A-Za-z0-9_\-]+"
                   autocomplete="off" aria-describedby="name-note"
                   title="Letters, digits, '_' and '-' only">
              <xsl:call-template name="value-attr">
                <xsl:with-param name="typed" select="$typed"/>
                <xsl:with-param name="name" select="'name'"/>
                <xsl:with-param name="stored" select="''"/>
              </xsl:call-template>
            </input>
            <span class="note" id="name-note">Letters, digits, "_" and "-" only.</span>
          </div>
        </div>
        <fieldset>
          <legend>Mail events of level</legend>
          <div class="checks">
            <label><input type="checkbox" name="check_info" value="on">
              <xsl:call-template name="checked-attr">
                <xsl:with-param name="typed" select="$typed"/>
                <xsl:with-param name="name" select="'check_info'"/>
                <xsl:with-param name="stored" select="false()"/>
              </xsl:call-template></input> Information</label>
            <label><input type="checkbox" name="check_warn" value="on">
              <xsl:call-template name="checked-attr">
                <xsl:with-param name="typed" select="$typed"/>
                <xsl:with-param name="name" select="'check_warn'"/>
                <xsl:with-param name="stored" select="true()"/>
              </xsl:call-template></input> Warning</label>
            <label><input type="checkbox" name="check_error" value="on">
              <xsl:call-template name="checked-attr">
                <xsl:with-param name="typed" select="$typed"/>
                <xsl:with-param name="name" select="'check_error'"/>
                <xsl:with-param name="stored" select="true()"/>
              </xsl:call-template></input> Error</label>
          </div>
        </fieldset>
        <div class="actions">
          <button type="submit" class="btn primary">Add recipient</button>
        </div>
      </form>
    </section>
  </xsl:template>

</xsl:stylesheet>
