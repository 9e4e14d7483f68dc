<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
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
        <source>IPv6 addresses are not supported. Please enter an IPv4 address or a host name.</source>
        <translation>IPv6-Adressen werden nicht unterstützt. Bitte eine IPv4-Adresse oder einen Hostnamen eingeben.</translation>
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
</context>
<context>
    <name>UpdateNotifier</name>
    <message>
        <source>Update Info</source>
        <translation>Aktualisierung</translation>
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
</context>
</TS>
