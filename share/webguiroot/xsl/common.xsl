<?xml version="1.0" encoding="UTF-8"?>
<!--
  Layout shared by every management page: head, style, navigation, messages.
  A page stylesheet includes this file, sets $active to its page name and
  supplies the template in mode "content" for its data.
  Browsers fetch this file beside the page stylesheet, so it is served from xsl/.
-->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">

  <xsl:output method="html" encoding="UTF-8" indent="yes" doctype-system="about:legacy-compat"/>

  <xsl:template match="/">
    <xsl:apply-templates select="kvo_omx_page"/>
  </xsl:template>

  <xsl:template match="kvo_omx_page">
    <html lang="en">
      <head>
        <meta charset="utf-8"/>
        <meta name="viewport" content="width=device-width, initial-scale=1"/>
        <title><xsl:value-of select="@title"/> · RAID Service</title>
        <link rel="icon" href="favicon.ico"/>
        <style>
:root {
  --bg: #f3f5f8; --surface: #ffffff; --text: #1c2430; --muted: #5b6675;
  --line: #d8dee6; --accent: #1f6feb; --accent-text: #ffffff; --accent-soft: #e8f0fe;
  --bar: #14213d; --bar-text: #e8edf5;
  --err-bg: #fdecec; --err-line: #d93025; --warn-bg: #fff6e0; --warn-line: #a86400;
  --info-bg: #e8f1fd; --info-line: #1f6feb; --ok-bg: #e6f4ea; --ok-line: #188038;
  --control-line: #767f8e; --icon-text: #ffffff;
  --focus: #ffbf47; --radius: 10px;
  color-scheme: light dark;
}
@media (prefers-color-scheme: dark) {
  :root {
    --bg: #11151c; --surface: #1a2029; --text: #e6eaf0; --muted: #9aa5b4;
    --line: #2d3643; --accent: #4c8dff; --accent-soft: #1d2a40;
    --bar: #0b0f15; --err-bg: #3a1d1d; --warn-bg: #3a2f14; --info-bg: #172a45; --ok-bg: #16301f;
    /* Light marks on dark ground, dark text on light marks: WCAG AA (4.5:1 text, 3:1 controls). */
    --accent-text: #0b0f15; --icon-text: #0b0f15; --control-line: #7a8699;
    --err-line: #ff7b72; --warn-line: #e3a008; --info-line: #6ea2ff; --ok-line: #3fb950;
  }
}
* { box-sizing: border-box; }
html { font-size: 100%; }
body {
  margin: 0; background: var(--bg); color: var(--text);
  font: 1rem/1.5 system-ui, -apple-system, "Segoe UI", Roboto, "Noto Sans", "DejaVu Sans", sans-serif;
}
a { color: var(--accent); }
:focus-visible { outline: 3px solid var(--focus); outline-offset: 2px; }
.skip { position: absolute; left: -999px; top: 0; background: var(--surface); color: var(--text); padding: .5rem 1rem; z-index: 10; }
.skip:focus { left: .5rem; top: .5rem; }
.sr-only { position: absolute; width: 1px; height: 1px; overflow: hidden; clip: rect(0 0 0 0); white-space: nowrap; }
.topbar {
  background: var(--bar); color: var(--bar-text);
  display: flex; flex-wrap: wrap; align-items: center; gap: .5rem 2rem; padding: .6rem 1.5rem;
}
.brand { display: flex; align-items: center; gap: .6rem; font-weight: 600; font-size: 1.1rem; letter-spacing: .01em; }
.brand img { display: block; border-radius: 6px; }
.topbar nav ul { list-style: none; margin: 0; padding: 0; display: flex; flex-wrap: wrap; gap: .25rem; }
.topbar nav a {
  display: block; color: var(--bar-text); text-decoration: none; padding: .45rem .9rem; border-radius: 999px;
}
.topbar nav a:hover { background: rgba(255,255,255,.1); }
.topbar nav a[aria-current="page"] { background: var(--accent); color: var(--accent-text); font-weight: 600; }
main { max-width: 62rem; margin: 0 auto; padding: 1.5rem 1.25rem 3rem; }
main:focus { outline: none; }
h1 { font-size: 1.6rem; margin: .5rem 0 1rem; }
h2 { font-size: 1.15rem; margin: 0 0 .35rem; }
.card {
  background: var(--surface); border: 1px solid var(--line); border-radius: var(--radius);
  padding: 1.25rem 1.25rem 1.4rem; margin: 0 0 1.25rem; box-shadow: 0 1px 2px rgba(0,0,0,.04);
}
.hint { color: var(--muted); margin: 0 0 1rem; font-size: .95rem; }
.empty { color: var(--muted); font-style: italic; margin: .5rem 0 0; }
.messages { margin: 0 0 1.25rem; display: grid; gap: .6rem; }
.msg {
  display: flex; gap: .75rem; align-items: flex-start; padding: .85rem 1rem;
  border-radius: var(--radius); border: 1px solid; border-left-width: 6px; font-size: 1.02rem;
}
.msg p { margin: 0; }
.msg .msg-kind { font-weight: 700; display: block; }
.msg-icon {
  flex: none; width: 1.6rem; height: 1.6rem; border-radius: 50%; color: var(--icon-text);
  display: grid; place-items: center; font-weight: 700; font-size: .95rem; line-height: 1;
}
.msg-error { background: var(--err-bg); border-color: var(--err-line); }
.msg-error .msg-icon { background: var(--err-line); }
.msg-warn { background: var(--warn-bg); border-color: var(--warn-line); }
.msg-warn .msg-icon { background: var(--warn-line); }
.msg-info { background: var(--info-bg); border-color: var(--info-line); }
.msg-info .msg-icon { background: var(--info-line); }
.msg-confirm { background: var(--warn-bg); border-color: var(--warn-line); }
.msg-confirm .msg-icon { background: var(--warn-line); }
.msg .actions { margin-top: .6rem; }
table.grid { width: 100%; border-collapse: collapse; }
table.grid th, table.grid td { text-align: left; padding: .55rem .6rem; border-bottom: 1px solid var(--line); vertical-align: middle; }
table.grid thead th { font-size: .85rem; text-transform: uppercase; letter-spacing: .04em; color: var(--muted); font-weight: 600; }
table.grid tbody th { font-weight: 600; white-space: nowrap; }
input[type="text"], input[type="number"], input[type="email"], input[type="password"], select {
  font: inherit; color: var(--text); background: var(--surface);
  width: 100%; max-width: 22rem; padding: .45rem .6rem; border: 1px solid var(--control-line); border-radius: 6px;
}
input[type="number"] { max-width: 9rem; }
input:invalid:not(:placeholder-shown) { border-color: var(--err-line); }
input[type="checkbox"] { width: 1.1rem; height: 1.1rem; accent-color: var(--accent); margin: 0; }
.fields { display: grid; grid-template-columns: repeat(auto-fit, minmax(15rem, 1fr)); gap: 1rem 1.25rem; }
.field label, .field .label { display: block; font-weight: 600; margin-bottom: .25rem; }
.field .note { display: block; color: var(--muted); font-size: .85rem; margin-top: .2rem; }
fieldset { border: 1px solid var(--line); border-radius: 8px; padding: .6rem 1rem .8rem; margin: 1rem 0 0; }
legend { font-weight: 600; padding: 0 .35rem; }
.checks { display: flex; flex-wrap: wrap; gap: .5rem 1.5rem; }
.checks label, label.check { display: inline-flex; align-items: center; gap: .5rem; cursor: pointer; }
.actions { display: flex; flex-wrap: wrap; gap: .6rem; margin-top: 1.1rem; }
.btn {
  font: inherit; font-weight: 600; display: inline-block; text-decoration: none; cursor: pointer;
  padding: .5rem 1.1rem; border-radius: 6px; border: 1px solid var(--control-line); background: var(--surface); color: var(--text);
}
.btn:hover { border-color: var(--accent); }
.btn.primary { background: var(--accent); border-color: var(--accent); color: var(--accent-text); }
.btn.danger { color: var(--err-line); border-color: var(--err-line); }
.badges { display: flex; flex-wrap: wrap; gap: .3rem; }
.badge { display: inline-block; font-size: .8rem; font-weight: 600; padding: .1rem .55rem; border-radius: 999px; border: 1px solid; }
.badge.information { background: var(--info-bg); border-color: var(--info-line); }
.badge.warning { background: var(--warn-bg); border-color: var(--warn-line); }
.badge.error { background: var(--err-bg); border-color: var(--err-line); }
.muted { color: var(--muted); }
.state { font-weight: 600; }
.state.on { color: var(--ok-line); }
.state.off { color: var(--muted); }
.pending { display: block; font-size: .85rem; color: var(--muted); }
.levels-edit { display: flex; flex-wrap: wrap; align-items: center; gap: .3rem .9rem; }
.levels-edit label { display: inline-flex; align-items: center; gap: .35rem; cursor: pointer; }
.btn.small { padding: .2rem .7rem; font-size: .9rem; }
footer { max-width: 62rem; margin: 0 auto; padding: 0 1.25rem 2rem; color: var(--muted); font-size: .85rem; }
@media (max-width: 40rem) {
  .topbar { padding: .6rem .9rem; }
  .topbar nav { width: 100%; }
  .topbar nav ul { width: 100%; }
  .topbar nav li { flex: 1 1 auto; }
  .topbar nav a { text-align: center; }
  main { padding: 1rem .75rem 2rem; }
  .card { padding: 1rem; }
  table.grid thead { position: absolute; width: 1px; height: 1px; overflow: hidden; clip: rect(0 0 0 0); }
  table.grid, table.grid tbody, table.grid tr, table.grid th, table.grid td { display: block; width: 100%; }
  table.grid tr { border: 1px solid var(--line); border-radius: 8px; padding: .4rem .2rem; margin-bottom: .75rem; }
  table.grid th, table.grid td { border: 0; padding: .3rem .6rem; }
  table.grid td[data-label]::before {
    content: attr(data-label); display: block; font-size: .8rem; color: var(--muted); font-weight: 600;
  }
  input[type="number"], input[type="text"], input[type="email"], input[type="password"] { max-width: none; }
  .actions .btn { flex: 1 1 auto; text-align: center; }
}
        </style>
      </head>
      <body>
        <a class="skip" href="#main">Skip to content</a>
        <header class="topbar">
          <div class="brand">
            <img src="logo.gif" alt="" width="28" height="28"/>
            <span>RAID Service</span>
          </div>
          <nav aria-label="Main">
            <ul>
              <xsl:call-template name="nav-item">
                <xsl:with-param name="page" select="'controllers'"/>
                <xsl:with-param name="label" select="'Controllers'"/>
              </xsl:call-template>
              <xsl:call-template name="nav-item">
                <xsl:with-param name="page" select="'snmp'"/>
                <xsl:with-param name="label" select="'SNMP traps'"/>
              </xsl:call-template>
              <xsl:call-template name="nav-item">
                <xsl:with-param name="page" select="'email'"/>
                <xsl:with-param name="label" select="'E-mail'"/>
              </xsl:call-template>
              <xsl:call-template name="nav-item">
                <xsl:with-param name="page" select="'events'"/>
                <xsl:with-param name="label" select="'Events'"/>
              </xsl:call-template>
              <xsl:call-template name="nav-item">
                <xsl:with-param name="page" select="'hooks'"/>
                <xsl:with-param name="label" select="'Hooks'"/>
              </xsl:call-template>
            </ul>
          </nav>
        </header>
        <main id="main" tabindex="-1">
          <h1><xsl:value-of select="@title"/></h1>
          <xsl:apply-templates select="messages"/>
          <xsl:apply-templates select="." mode="content"/>
        </main>
        <footer>Settings are saved as soon as you submit a form.</footer>
      </body>
    </html>
  </xsl:template>

  <xsl:template name="nav-item">
    <xsl:param name="page"/>
    <xsl:param name="label"/>
    <li>
      <a href="{$page}.cgi">
        <xsl:if test="$page = $active">
          <xsl:attribute name="aria-current">page</xsl:attribute>
        </xsl:if>
        <xsl:value-of select="$label"/>
      </a>
    </li>
  </xsl:template>

  <!-- Messages: errors, warnings, information, and questions with yes/no answers. -->
  <xsl:template match="messages">
    <section class="messages" aria-label="Messages">
      <xsl:apply-templates select="message"/>
    </section>
  </xsl:template>

  <xsl:template match="message">
    <xsl:variable name="kind">
      <xsl:choose>
        <xsl:when test="@type = 'error' or @type = 'warn' or @type = 'confirm'"><xsl:value-of select="@type"/></xsl:when>
        <xsl:otherwise>info</xsl:otherwise>
      </xsl:choose>
    </xsl:variable>
    <div class="msg msg-{$kind}">
      <xsl:attribute name="role">
        <xsl:choose>
          <xsl:when test="$kind = 'info'">status</xsl:when>
          <xsl:otherwise>alert</xsl:otherwise>
        </xsl:choose>
      </xsl:attribute>
      <span class="msg-icon" aria-hidden="true">
        <xsl:choose>
          <xsl:when test="$kind = 'info'">i</xsl:when>
          <xsl:when test="$kind = 'confirm'">?</xsl:when>
          <xsl:otherwise>!</xsl:otherwise>
        </xsl:choose>
      </span>
      <div>
        <span class="msg-kind">
          <xsl:choose>
            <xsl:when test="$kind = 'error'">Error</xsl:when>
            <xsl:when test="$kind = 'warn'">Warning</xsl:when>
            <xsl:when test="$kind = 'confirm'">Please confirm</xsl:when>
            <xsl:otherwise>Information</xsl:otherwise>
          </xsl:choose>
        </span>
        <p><xsl:value-of select="."/></p>
        <xsl:if test="$kind = 'confirm'">
          <div class="actions">
            <a class="btn primary" href="{@yeshref}">Yes</a>
            <a class="btn" href="{@nohref}">No</a>
          </div>
        </xsl:if>
      </div>
    </div>
  </xsl:template>

  <!-- Field names carry indexes in hexadecimal (the server reads them so). -->
  <xsl:template name="hex">
    <xsl:param name="n"/>
    <xsl:if test="$n &gt;= 16">
      <xsl:call-template name="hex">
        <xsl:with-param name="n" select="floor($n div 16)"/>
      </xsl:call-template>
    </xsl:if>
    <xsl:value-of select="substring('0123456789abcdef', ($n mod 16) + 1, 1)"/>
  </xsl:template>

  <!-- Event level badges from the information/warning/error children. -->
  <xsl:template name="levels">
    <xsl:param name="node"/>
    <span class="badges">
      <xsl:for-each select="$node/information | $node/warning | $node/error">
        <span class="badge {local-name()}"><xsl:value-of select="normalize-space(.)"/></span>
      </xsl:for-each>
      <xsl:if test="not($node/information or $node/warning or $node/error)">
        <span class="muted">None</span>
      </xsl:if>
    </span>
  </xsl:template>

  <!-- The value of a field: what was typed into a refused form ($typed, the
       page's "typed" element for that form), else what is stored (also for a
       field the refused request did not carry). -->
  <xsl:template name="value-attr">
    <xsl:param name="typed"/>
    <xsl:param name="name"/>
    <xsl:param name="stored"/>
    <xsl:attribute name="value">
      <xsl:choose>
        <xsl:when test="$typed/field[@name = $name]"><xsl:value-of select="$typed/field[@name = $name]"/></xsl:when>
        <xsl:otherwise><xsl:value-of select="$stored"/></xsl:otherwise>
      </xsl:choose>
    </xsl:attribute>
  </xsl:template>

  <!-- A check box: ticked as typed into a refused form, else as stored. -->
  <xsl:template name="checked-attr">
    <xsl:param name="typed"/>
    <xsl:param name="name"/>
    <xsl:param name="stored"/>
    <xsl:if test="($typed and $typed/field[@name = $name]) or (not($typed) and $stored)">
      <xsl:attribute name="checked">checked</xsl:attribute>
    </xsl:if>
  </xsl:template>

  <!-- A port field's value: as typed into a refused form, else the stored port. -->
  <xsl:template name="port-or-typed">
    <xsl:param name="typed"/>
    <xsl:param name="name"/>
    <xsl:param name="port"/>
    <xsl:choose>
      <xsl:when test="$typed/field[@name = $name]">
        <xsl:attribute name="value"><xsl:value-of select="$typed/field[@name = $name]"/></xsl:attribute>
      </xsl:when>
      <xsl:otherwise>
        <xsl:call-template name="port-value">
          <xsl:with-param name="port" select="$port"/>
        </xsl:call-template>
      </xsl:otherwise>
    </xsl:choose>
  </xsl:template>

  <!-- A port of 0 means "not set": show an empty box rather than an invalid number. -->
  <xsl:template name="port-value">
    <xsl:param name="port"/>
    <xsl:if test="number($port) &gt; 0">
      <xsl:attribute name="value"><xsl:value-of select="number($port)"/></xsl:attribute>
    </xsl:if>
  </xsl:template>

</xsl:stylesheet>
