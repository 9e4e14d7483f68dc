<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>ClickableWeightLabel</name>
    <message>
        <source>Weight 0: every packet is also sent over this path (a full copy of the stream).</source>
        <translation>Gewicht 0: jedes Paket geht auch über diesen Pfad (eine vollständige Kopie des Streams).</translation>
    </message>
    <message>
        <source>Weight %1: this path carries %1 part(s) of the stream, shared with the other ticked paths in proportion to their weights.</source>
        <translation>Gewicht %1: dieser Pfad trägt %1 Teil(e) des Streams, mit den anderen angehakten Pfaden im Verhältnis ihrer Gewichte geteilt.</translation>
    </message>
    <message>
        <source>weight (click to change)</source>
        <translation>Gewicht (zum Ändern klicken)</translation>
    </message>
</context>
<context>
    <name>LinkStats</name>
    <message>
        <source>%1: no link figures yet</source>
        <translation>%1: noch keine Verbindungswerte</translation>
    </message>
    <message>
        <source>%1: sending %2 Mbit/s, round trip %3 ms, lost %4 % (%5 in all), retransmitted %6 % (%7 in all), dropped %8</source>
        <translation>%1: sendet %2 Mbit/s, Umlaufzeit %3 ms, verloren %4 % (%5 insgesamt), neu gesendet %6 % (%7 insgesamt), verworfen %8</translation>
    </message>
    <message>
        <source>, send buffer %1 ms, link estimate %2 Mbit/s</source>
        <translation>, Sendepuffer %1 ms, geschätzte Bandbreite %2 Mbit/s</translation>
    </message>
    <message>
        <source>default route</source>
        <translation>Standardroute</translation>
    </message>
    <message>
        <source>%1 to %2: silent</source>
        <translation>%1 zu %2: keine Antwort</translation>
    </message>
    <message>
        <source>%1 to %2: round trip %3 ms, quality %4 %, retransmitted %5 (%6 in all), %7 Mbit/s</source>
        <translation>%1 zu %2: Umlaufzeit %3 ms, Qualität %4 %, neu gesendet %5 (%6 insgesamt), %7 Mbit/s</translation>
    </message>
    <message>
        <source>%1 server %2 from %3: reconnecting</source>
        <translation>Server %2 (%1) von %3: neue Verbindung</translation>
    </message>
    <message>
        <source>%1 server %2 from %3: sending %4 Mbit/s, round trip %5 ms, lost %6 %, retransmitted %7 (%8 in all)</source>
        <translation>Server %2 (%1) von %3: sendet %4 Mbit/s, Umlaufzeit %5 ms, verloren %6 %, neu gesendet %7 (%8 insgesamt)</translation>
    </message>
</context>
<context>
    <name>LogsDlg</name>
    <message>
        <source>Logs</source>
        <translation>Protokoll</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
</context>
<context>
    <name>MFGlassToGlass</name>
    <message>
        <source>glass-to-glass %1 ms</source>
        <translation>Glas zu Glas %1 ms</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Tidewell</source>
        <translation>Tidewell</translation>
    </message>
    <message>
        <source>Video and Audio</source>
        <translation>Video und Audio</translation>
    </message>
    <message>
        <source>optional audio channels (num from 0) : 0,1 or 0+1+2,3+4+</source>
        <translation>optionale Audiokanäle (ab 0 gezählt): 0,1 oder 0+1+2,3+4+</translation>
    </message>
    <message>
        <source>Insert timecode</source>
        <translation>Timecode einblenden</translation>
    </message>
    <message>
        <source>help</source>
        <translation>Hilfe</translation>
    </message>
    <message>
        <source>alpha</source>
        <translation>Alpha</translation>
    </message>
    <message>
        <source>Preview</source>
        <translation>Vorschau</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Aktualisieren</translation>
    </message>
    <message>
        <source>Encoding Options</source>
        <translation>Kodierung</translation>
    </message>
    <message>
        <source>Video/ Audio bitrate(Kbs):</source>
        <translation>Video-/Audio-Bitrate (kbit/s):</translation>
    </message>
    <message>
        <source>Video bitrate</source>
        <translation>Video-Bitrate</translation>
    </message>
    <message>
        <source>Audio bitrate</source>
        <translation>Audio-Bitrate</translation>
    </message>
    <message>
        <source>Audio sample rate</source>
        <translation>Audio-Abtastrate</translation>
    </message>
    <message>
        <source>SRT Destination</source>
        <translation>SRT-Ziel</translation>
    </message>
    <message>
        <source>SRT</source>
        <translation>SRT</translation>
    </message>
    <message>
        <source>RIST (beta)</source>
        <translation>RIST (Beta)</translation>
    </message>
    <message>
        <source>Server:    </source>
        <translation>Server:    </translation>
    </message>
    <message>
        <source>srt://10.211.55.2:9001</source>
        <translation>srt://10.211.55.2:9001</translation>
    </message>
    <message>
        <source>StreamID:</source>
        <translation>Stream-ID:</translation>
    </message>
    <message>
        <source>optional</source>
        <translation>optional</translation>
    </message>
    <message>
        <source>Loss-less</source>
        <translation>Verlustfrei</translation>
    </message>
    <message>
        <source>Latency(ms):</source>
        <translation>Latenz (ms):</translation>
    </message>
    <message>
        <source>Passphrase:</source>
        <translation>Passphrase:</translation>
    </message>
    <message>
        <source>optional (used for encryption, 10-79 chars)</source>
        <translation>optional (zur Verschlüsselung, 10–79 Zeichen)</translation>
    </message>
    <message>
        <source>PBKeyLen:</source>
        <translation>Schlüssellänge:</translation>
    </message>
    <message>
        <source>rist://10.211.55.2:5004</source>
        <translation>rist://10.211.55.2:5004</translation>
    </message>
    <message>
        <source>Cname:</source>
        <translation>CNAME:</translation>
    </message>
    <message>
        <source>optional. used as stream id for Quillon</source>
        <translation>optional, dient Quillon als Stream-ID</translation>
    </message>
    <message>
        <source>default 15</source>
        <translation>Vorgabe 15</translation>
    </message>
    <message>
        <source> ms</source>
        <translation> ms</translation>
    </message>
    <message>
        <source>Secret:</source>
        <translation>Geheimnis:</translation>
    </message>
    <message>
        <source>Paths:</source>
        <translation>Pfade:</translation>
    </message>
    <message>
        <source>optional (192.168.1.1,172.168.1.1, )</source>
        <translation>optional (192.168.1.1,172.168.1.1, )</translation>
    </message>
    <message>
        <source>Update networks</source>
        <translation>Netzwerke aktualisieren</translation>
    </message>
    <message>
        <source>rtt:</source>
        <translation>RTT:</translation>
    </message>
    <message>
        <source>0 = default = min: 5 max: 500</source>
        <translation>0 = Vorgabe = min.: 5 max.: 500</translation>
    </message>
    <message>
        <source>retries:</source>
        <translation>Wiederholungen:</translation>
    </message>
    <message>
        <source>0 = default = min: 6 max: 20</source>
        <translation>0 = Vorgabe = min.: 6 max.: 20</translation>
    </message>
    <message>
        <source>retries buff:</source>
        <translation>Wiederholungspuffer:</translation>
    </message>
    <message>
        <source>Sys.Info</source>
        <translation>Systeminfo</translation>
    </message>
    <message>
        <source>Speed test</source>
        <translation>Geschwindigkeitstest</translation>
    </message>
    <message>
        <source>Studio Player</source>
        <translation>Studio-Player</translation>
    </message>
    <message>
        <source>START</source>
        <translation>START</translation>
    </message>
    <message>
        <source>Auto re-connection limit:</source>
        <translation>Automatische Neuverbindungen (Grenze):</translation>
    </message>
    <message>
        <source>help &gt;&gt;</source>
        <translation>Hilfe &gt;&gt;</translation>
    </message>
    <message>
        <source>Config</source>
        <translation>Konfiguration</translation>
    </message>
    <message>
        <source>Logs</source>
        <translation>Protokoll</translation>
    </message>
    <message>
        <source>Save config</source>
        <translation>Konfiguration speichern</translation>
    </message>
    <message>
        <source>Load config</source>
        <translation>Konfiguration laden</translation>
    </message>
    <message>
        <source>Crash Report</source>
        <translation>Absturzberichte</translation>
    </message>
    <message>
        <source>use default</source>
        <translatorcomment>Configuration files store this entry by its text: keep it unchanged.</translatorcomment>
        <translation>use default</translation>
    </message>
    <message>
        <source>RIST Destination</source>
        <translation>RIST-Ziel</translation>
    </message>
    <message>
        <source>original</source>
        <translatorcomment>Configuration files store this entry by its text: keep it unchanged.</translatorcomment>
        <translation>original</translation>
    </message>
    <message>
        <source>auto</source>
        <translatorcomment>Configuration files store this entry by its text: keep it unchanged.</translatorcomment>
        <translation>auto</translation>
    </message>
    <message>
        <source>44.1 Khz</source>
        <translatorcomment>Configuration files store this entry by its text: keep it unchanged.</translatorcomment>
        <translation>44.1 Khz</translation>
    </message>
    <message>
        <source>48 Khz</source>
        <translatorcomment>Configuration files store this entry by its text: keep it unchanged.</translatorcomment>
        <translation>48 Khz</translation>
    </message>
    <message>
        <source>Desktop</source>
        <translatorcomment>Configuration files store this entry by its text: keep it unchanged.</translatorcomment>
        <translation>Desktop</translation>
    </message>
    <message>
        <source>no audio</source>
        <translatorcomment>Configuration files store this entry by its text: keep it unchanged.</translatorcomment>
        <translation>no audio</translation>
    </message>
    <message>
        <source>the file cannot be read</source>
        <translation>die Datei kann nicht gelesen werden</translation>
    </message>
    <message>
        <source>it is not a configuration file</source>
        <translation>sie ist keine Konfigurationsdatei</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>Warnung</translation>
    </message>
    <message>
        <source>The configuration %1 was not loaded: %2. Nothing was changed.</source>
        <translation>Die Konfiguration %1 wurde nicht geladen: %2. Nichts wurde geändert.</translation>
    </message>
    <message>
        <source>These settings of %1 name nothing available here or are not valid, and were not used: %2</source>
        <translation>Diese Einstellungen aus %1 nennen nichts, was hier verfügbar ist, oder sind ungültig und wurden nicht übernommen: %2</translation>
    </message>
    <message>
        <source>Save File</source>
        <translation>Datei speichern</translation>
    </message>
    <message>
        <source>Open File</source>
        <translation>Datei öffnen</translation>
    </message>
    <message>
        <source>Passphrase should be empty or 10-79 chars</source>
        <translation>Die Passphrase muss leer sein oder 10–79 Zeichen lang sein</translation>
    </message>
    <message>
        <source>Incorrect SRT Server. Please enter host and port.</source>
        <translation>Ungültiger SRT-Server. Bitte Host und Port eingeben.</translation>
    </message>
    <message>
        <source>STOP</source>
        <translation>STOPP</translation>
    </message>
    <message>
        <source>The stream could not be started: the relay opened no loopback listener.</source>
        <translation>Der Stream konnte nicht gestartet werden: das Relais hat keinen Loopback-Empfänger geöffnet.</translation>
    </message>
    <message>
        <source>The stream could not be started: the previous capture has not ended yet.</source>
        <translation>Der Stream konnte nicht gestartet werden: die vorige Aufnahme ist noch nicht beendet.</translation>
    </message>
    <message>
        <source>Time server &quot;%1&quot; is not host[:port]; using %2</source>
        <translation>Zeitserver „%1“ ist nicht Host[:Port]; verwendet wird %2</translation>
    </message>
    <message>
        <source>Please enter streamid.</source>
        <translation>Bitte eine Stream-ID eingeben.</translation>
    </message>
    <message>
        <source>Stream ID is too long: SRT carries at most %1 bytes, this one takes %2.</source>
        <translation>Die Stream-ID ist zu lang: SRT überträgt höchstens %1 Bytes, diese braucht %2.</translation>
    </message>
    <message>
        <source>adaptive</source>
        <translation>adaptiv</translation>
    </message>
    <message>
        <source>Lower the video bitrate while the link cannot carry it and raise it again when the link is clean, without restarting the stream</source>
        <translation>Senkt die Video-Bitrate, solange die Verbindung sie nicht trägt, und hebt sie wieder an, sobald die Verbindung sauber ist, ohne den Stream neu zu starten</translation>
    </message>
    <message>
        <source>Not available with: %1</source>
        <translation>Nicht verfügbar mit: %1</translation>
    </message>
    <message>
        <source>Nor with the rate controls cqp and quality; with libx264 not with cbr and avbr</source>
        <translation>Auch nicht mit den Ratensteuerungen cqp und quality; bei libx264 nicht mit cbr und avbr</translation>
    </message>
    <message>
        <source>HEVC (Software): FFmpeg&apos;s libx265 takes the bitrate only when the stream starts</source>
        <translation>HEVC (Software): FFmpegs libx265 übernimmt die Bitrate nur beim Start des Streams</translation>
    </message>
    <message>
        <source>The user guide is not installed.</source>
        <translation>Die Bedienungsanleitung ist nicht installiert.</translation>
    </message>
    <message>
        <source>The settings were not saved to %1: %2. The file there is unchanged.</source>
        <translation>Die Einstellungen wurden nicht in %1 gespeichert: %2. Die Datei dort ist unverändert.</translation>
    </message>
    <message>
        <source>Incorrect SRT Server port %1. Please enter a port from 1 to 65535.</source>
        <translation>Ungültiger SRT-Server-Port %1. Bitte einen Port von 1 bis 65535 eingeben.</translation>
    </message>
    <message>
        <source>Backup server:</source>
        <translation>Ersatzserver:</translation>
    </message>
    <message>
        <source>Every message also goes to this server; a stream with a backup goes on while either server takes it</source>
        <translation>Jede Nachricht geht auch an diesen Server; ein Stream mit Ersatzserver läuft weiter, solange einer der Server ihn annimmt</translation>
    </message>
    <message>
        <source>optional: srt://10.211.55.3:9001</source>
        <translation>optional: srt://10.211.55.3:9001</translation>
    </message>
    <message>
        <source>The network interface the backup stream leaves by</source>
        <translation>Die Netzwerkschnittstelle, über die der Ersatz-Stream gesendet wird</translation>
    </message>
    <message>
        <source>Incorrect backup SRT Server. Please enter host and port, or leave it empty.</source>
        <translation>Ungültiger SRT-Ersatzserver. Bitte Host und Port eingeben oder das Feld leer lassen.</translation>
    </message>
    <message>
        <source>sending</source>
        <translation>sendet</translation>
    </message>
    <message>
        <source>reconnecting</source>
        <translation>neue Verbindung</translation>
    </message>
    <message>
        <source>  main server: %1, backup server: %2</source>
        <translation>  Hauptserver: %1, Ersatzserver: %2</translation>
    </message>
    <message>
        <source>Incorrect backup SRT Server port %1. Please enter a port from 1 to 65535.</source>
        <translation>Ungültiger Port %1 des SRT-Ersatzservers. Bitte einen Port von 1 bis 65535 eingeben.</translation>
    </message>
</context>
<context>
    <name>Player</name>
    <message>
        <source>Form</source>
        <translation>Studio-Player</translation>
    </message>
    <message>
        <source>please wait ...</source>
        <translation>bitte warten ...</translation>
    </message>
    <message>
        <source>NDI output</source>
        <translation>NDI-Ausgabe</translation>
    </message>
    <message>
        <source>External output:</source>
        <translation>Externe Ausgabe:</translation>
    </message>
    <message>
        <source>Read from the timecode strip of the return feed</source>
        <translation>Aus dem Timecode-Streifen des Rückkanals gelesen</translation>
    </message>
    <message>
        <source>Audio Channel MUTE</source>
        <translation>Audiokanäle STUMM</translation>
    </message>
    <message>
        <source>Studio Player</source>
        <translation>Studio-Player</translation>
    </message>
    <message>
        <source>No return feed yet, trying again ...</source>
        <translation>Noch kein Rückkanal, neuer Versuch ...</translation>
    </message>
    <message>
        <source>File</source>
        <translation>Datei</translation>
    </message>
    <message>
        <source>Sends the return feed as the NDI source &quot;%1&quot;</source>
        <translation>Sendet den Rückkanal als NDI-Quelle „%1“</translation>
    </message>
    <message>
        <source>No NDI runtime is installed. Tidewell looked at %1.</source>
        <translation>Keine NDI-Laufzeitumgebung installiert. Tidewell hat gesucht unter: %1.</translation>
    </message>
    <message>
        <source>Sound on &quot;%1&quot;</source>
        <translation>Ton auf „%1“</translation>
    </message>
</context>
<context>
    <name>SpeedTest</name>
    <message>
        <source>Speed test</source>
        <translation>Geschwindigkeitstest</translation>
    </message>
    <message>
        <source>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;It works with &lt;span style=&quot; font-weight:600;&quot;&gt;Quillon ONLY &lt;/span&gt;&lt;/p&gt;&lt;p&gt;(we will send 10 Mb for test bandwidth)&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;Funktioniert &lt;span style=&quot; font-weight:600;&quot;&gt;NUR mit Quillon &lt;/span&gt;&lt;/p&gt;&lt;p&gt;(für den Bandbreitentest werden 10 MB gesendet)&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>Use recommended latency</source>
        <translation>Empfohlene Latenz übernehmen</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>Sending data, please wait...</source>
        <translation>Daten werden gesendet, bitte warten...</translation>
    </message>
    <message>
        <source>Test stopped.</source>
        <translation>Test angehalten.</translation>
    </message>
    <message>
        <source>Test failed: </source>
        <translation>Test fehlgeschlagen: </translation>
    </message>
    <message>
        <source>Test failed, count errors:</source>
        <translation>Test fehlgeschlagen, Anzahl Fehler:</translation>
    </message>
    <message>
        <source>Speed: </source>
        <translation>Geschwindigkeit: </translation>
    </message>
    <message>
        <source> Kbs ( we sent </source>
        <translation> kbit/s (gesendet: </translation>
    </message>
    <message>
        <source> Mb in </source>
        <translation> MB in </translation>
    </message>
    <message>
        <source> seconds)
send pkts: </source>
        <translation> Sekunden)
gesendete Pakete: </translation>
    </message>
    <message>
        <source>, lost pkts:</source>
        <translation>, verlorene Pakete:</translation>
    </message>
    <message>
        <source>, drops pkts:</source>
        <translation>, verworfene Pakete:</translation>
    </message>
    <message>
        <source>
 Estimated bandwidth: </source>
        <translation>
 Geschätzte Bandbreite: </translation>
    </message>
    <message>
        <source> Mbs</source>
        <translation> Mbit/s</translation>
    </message>
    <message>
        <source>
 RTT: </source>
        <translation>
 RTT: </translation>
    </message>
    <message>
        <source>
 RECOMMENDED LATENCY: </source>
        <translation>
 EMPFOHLENE LATENZ: </translation>
    </message>
    <message>
        <source>
 (speed of the payload; SRT, UDP and IP headers come on top)</source>
        <translation>
 (Geschwindigkeit der Nutzdaten; SRT-, UDP- und IP-Header kommen hinzu)</translation>
    </message>
</context>
<context>
    <name>StreamHealth</name>
    <message>
        <source>not streaming</source>
        <translation>kein Stream</translation>
    </message>
    <message>
        <source>starting</source>
        <translation>startet</translation>
    </message>
    <message>
        <source>waiting for the encoder</source>
        <translation>wartet auf den Encoder</translation>
    </message>
    <message>
        <source>sending</source>
        <translation>sendet</translation>
    </message>
    <message>
        <source>server not answering</source>
        <translation>Server antwortet nicht</translation>
    </message>
    <message>
        <source>no network path</source>
        <translation>kein Netzwerkpfad</translation>
    </message>
    <message>
        <source>source lost</source>
        <translation>Quelle verloren</translation>
    </message>
    <message>
        <source>reconnecting (%1 of %2) in %3 s</source>
        <translation>neue Verbindung (%1 von %2) in %3 s</translation>
    </message>
    <message>
        <source>stopped after %1 reconnects</source>
        <translation>nach %1 neuen Verbindungen angehalten</translation>
    </message>
</context>
<context>
    <name>TPreviewDlg</name>
    <message>
        <source>Preview</source>
        <translation>Vorschau</translation>
    </message>
    <message>
        <source>Play audio</source>
        <translation>Ton abspielen</translation>
    </message>
    <message>
        <source>detect format ...</source>
        <translation>Format wird erkannt ...</translation>
    </message>
</context>
<context>
    <name>TelemetryStrip</name>
    <message>
        <source>Link telemetry</source>
        <translation>Verbindungswerte</translation>
    </message>
    <message>
        <source>Link: not streaming</source>
        <translation>Verbindung: kein Stream</translation>
    </message>
    <message>
        <source>The last minute of the link, the newest second at the right. Sent: the rate leaving for the server; video bitrate: what the encoder makes (the adaptive bitrate&apos;s steps show here); both on the Mbit/s scale at the left. Round trip: on the ms scale at the right. Lost: red bars, full height at %1 % of the packets.</source>
        <translation>Die letzte Minute der Verbindung, die neueste Sekunde rechts. Gesendet: die Rate zum Server; Video-Bitrate: was der Encoder erzeugt (hier zeigen sich die Stufen der adaptiven Bitrate); beide auf der Mbit/s-Skala links. Umlaufzeit: auf der ms-Skala rechts. Verloren: rote Balken, volle Höhe bei %1 % der Pakete.</translation>
    </message>
    <message>
        <source>%1 % (%2 in all)</source>
        <translation>%1 % (%2 insgesamt)</translation>
    </message>
    <message>
        <source>sending</source>
        <translation>Senderate</translation>
    </message>
    <message>
        <source>%1 Mbit/s</source>
        <translation>%1 Mbit/s</translation>
    </message>
    <message>
        <source>round trip</source>
        <translation>Umlaufzeit</translation>
    </message>
    <message>
        <source>%1 ms</source>
        <translation>%1 ms</translation>
    </message>
    <message>
        <source>send buffer</source>
        <translation>Sendepuffer</translation>
    </message>
    <message>
        <source>link estimate</source>
        <translation>geschätzte Bandbreite</translation>
    </message>
    <message>
        <source>lost</source>
        <translation>verloren</translation>
    </message>
    <message>
        <source>retransmitted</source>
        <translation>neu gesendet</translation>
    </message>
    <message>
        <source>dropped</source>
        <translation>verworfen</translation>
    </message>
    <message>
        <source>video</source>
        <translation>Video</translation>
    </message>
    <message>
        <source>%1 of %2 kbit/s</source>
        <translation>%1 von %2 kbit/s</translation>
    </message>
    <message>
        <source>path to %1</source>
        <translation>Pfad zu %1</translation>
    </message>
    <message>
        <source>path</source>
        <translation>Pfad</translation>
    </message>
    <message>
        <source>quality</source>
        <translation>Qualität</translation>
    </message>
    <message>
        <source>rate</source>
        <translation>Rate</translation>
    </message>
    <message>
        <source>default route</source>
        <translation>Standardroute</translation>
    </message>
    <message>
        <source>%1 → %2</source>
        <translation>%1 → %2</translation>
    </message>
    <message>
        <source>silent</source>
        <translation>keine Antwort</translation>
    </message>
    <message>
        <source>%1 %</source>
        <translation>%1 %</translation>
    </message>
    <message>
        <source>%1 (%2 in all)</source>
        <translation>%1 (%2 insgesamt)</translation>
    </message>
    <message>
        <source>sent</source>
        <translation>gesendet</translation>
    </message>
    <message>
        <source>video bitrate</source>
        <translation>Video-Bitrate</translation>
    </message>
    <message>
        <source>−%1 s</source>
        <translation>−%1 s</translation>
    </message>
    <message>
        <source>now</source>
        <translation>jetzt</translation>
    </message>
    <message>
        <source>Link: %1</source>
        <translation>Verbindung: %1</translation>
    </message>
    <message>
        <source>server</source>
        <translation>Server</translation>
    </message>
    <message>
        <source>route</source>
        <translation>Route</translation>
    </message>
    <message>
        <source>main</source>
        <translation>Haupt</translation>
    </message>
    <message>
        <source>backup</source>
        <translation>Ersatz</translation>
    </message>
    <message>
        <source>reconnecting</source>
        <translation>neue Verbindung</translation>
    </message>
</context>
<context>
    <name>UpdateNotifier</name>
    <message>
        <source>Update Info</source>
        <translation>Aktualisierung</translation>
    </message>
    <message>
        <source>%1 is not an https address</source>
        <translation>%1 ist keine https-Adresse</translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>Tidewell captures a video and an audio source, encodes them into an MPEG transport stream and sends it to a server over SRT or RIST.

Given a configuration file (keys as Config &gt; Save config writes them), it loads the file and starts streaming at once; it then never saves the operator&apos;s stored settings. SIGINT and SIGTERM stop the stream and end the program.</source>
        <translation>Tidewell nimmt eine Video- und eine Audioquelle auf, kodiert sie in einen MPEG-Transportstrom und sendet ihn über SRT oder RIST an einen Server.

Mit einer Konfigurationsdatei (Schlüssel wie von Konfiguration &gt; Konfiguration speichern geschrieben) lädt es die Datei und beginnt sofort zu senden; die gespeicherten Einstellungen des Benutzers bleiben dann unverändert. SIGINT und SIGTERM beenden den Stream und das Programm.</translation>
    </message>
    <message>
        <source>Configuration file to stream with: the first argument naming an existing file that ends in &quot;.ini&quot;.</source>
        <translation>Konfigurationsdatei für den Stream: das erste Argument, das eine vorhandene Datei mit der Endung „.ini“ nennt.</translation>
    </message>
    <message>
        <source>Qt platform plugin to run on; &quot;offscreen&quot; streams without a display and shows no boxes.</source>
        <translation>Qt-Plattform-Plugin; mit „offscreen“ sendet Tidewell ohne Bildschirm und zeigt keine Meldungsfenster.</translation>
    </message>
    <message>
        <source>Try &apos;tidewell --help&apos; for more information.</source>
        <translation>„tidewell --help“ zeigt weitere Informationen.</translation>
    </message>
    <message>
        <source>While streaming, append the link figures to this file once a second, one JSON object a line.</source>
        <translation>Während des Streamens einmal pro Sekunde die Verbindungswerte an diese Datei anhängen, ein JSON-Objekt pro Zeile.</translation>
    </message>
    <message>
        <source>cannot append to the statistics file %1: %2</source>
        <translation>kann nicht an die Statistikdatei %1 anhängen: %2</translation>
    </message>
    <message>
        <source>no such file</source>
        <translation>keine solche Datei</translation>
    </message>
    <message>
        <source>not a file</source>
        <translation>keine Datei</translation>
    </message>
    <message>
        <source>cannot read the configuration file %1: %2</source>
        <translation>kann die Konfigurationsdatei %1 nicht lesen: %2</translation>
    </message>
</context>
<context>
    <name>privatefile</name>
    <message>
        <source>the file is read-only</source>
        <translation>die Datei ist schreibgeschützt</translation>
    </message>
    <message>
        <source>the folder cannot be written to (%1)</source>
        <translation>in den Ordner kann nicht geschrieben werden (%1)</translation>
    </message>
    <message>
        <source>the file could not be written out; the disk may be full</source>
        <translation>die Datei konnte nicht geschrieben werden; der Datenträger ist vielleicht voll</translation>
    </message>
</context>
</TS>
