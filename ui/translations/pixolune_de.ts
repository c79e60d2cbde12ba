<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>pixolune::ui</name>
    <message>
        <source>Pixolune Plugin is currently not authenticated, please click on the Authorize button, log in and allow this plugin to access your account</source>
        <translation>Das Pixolune-Plugin ist zurzeit nicht angemeldet. Bitte klicken Sie auf „Autorisieren...“, melden Sie sich an und erlauben Sie diesem Plugin den Zugriff auf Ihr Konto.</translation>
    </message>
    <message>
        <source>Pixolune Plugin is currently authenticated</source>
        <translation>Das Pixolune-Plugin ist zurzeit angemeldet</translation>
    </message>
    <message>
        <source>No download media types selected. Please choose photo, video or both.</source>
        <translation>Keine Medienarten zum Herunterladen ausgewählt. Bitte wählen Sie Fotos, Videos oder beides.</translation>
    </message>
    <message>
        <source>Destination folder for downloaded item is empty. Please enter the name of an existing folder complete with path name.</source>
        <translation>Der Zielordner für heruntergeladene Dateien ist leer. Bitte geben Sie den Namen eines vorhandenen Ordners mit vollständigem Pfad ein.</translation>
    </message>
    <message>
        <source>Configured folder doesn&apos;t exist, please enter the name of an existing folder</source>
        <translation>Der angegebene Ordner existiert nicht. Bitte geben Sie den Namen eines vorhandenen Ordners ein.</translation>
    </message>
    <message>
        <source>Select Folder</source>
        <translation>Ordner auswählen</translation>
    </message>
    <message>
        <source>You set polling time to a rather short value, this may cause a heavy load on the web server. If the feed doesn&apos;t change so often think about using an update time longer than 60 minutes.</source>
        <translation>Sie haben eine recht kurze Abfragezeit eingestellt; das kann den Webserver stark belasten. Wenn sich der Feed nicht so oft ändert, wählen Sie besser eine Abfragezeit von mehr als 60 Minuten.</translation>
    </message>
    <message>
        <source>Authorization has been denied</source>
        <translation>Die Autorisierung wurde verweigert</translation>
    </message>
    <message>
        <source>The response from Pixolune returned an error</source>
        <translation>Die Antwort von Pixolune meldet einen Fehler</translation>
    </message>
    <message>
        <source>Checking account…</source>
        <translation>Konto wird geprüft…</translation>
    </message>
    <message>
        <source>The Pixolune login page could not be loaded. Check the network connection, then close this window and click Authorize... again.</source>
        <translation>Die Anmeldeseite von Pixolune konnte nicht geladen werden. Prüfen Sie die Netzwerkverbindung, schließen Sie dann dieses Fenster und klicken Sie erneut auf „Autorisieren...“.</translation>
    </message>
    <message>
        <source>&quot;Check downloads at startup and every&quot; (minutes): enter an integer between %1 and %2.</source>
        <translation>„Beim Start und dann alle … Minuten“: Geben Sie eine ganze Zahl zwischen %1 und %2 ein.</translation>
    </message>
    <message>
        <source>&quot;%1&quot;, Max N. of files: enter an integer between %2 and %3.</source>
        <translation>„%1“, Höchstzahl Dateien: Geben Sie eine ganze Zahl zwischen %2 und %3 ein.</translation>
    </message>
    <message>
        <source>Days: enter an integer between %1 and %2.</source>
        <translation>Tage: Geben Sie eine ganze Zahl zwischen %1 und %2 ein.</translation>
    </message>
    <message>
        <source>Hours: enter an integer between %1 and %2.</source>
        <translation>Stunden: Geben Sie eine ganze Zahl zwischen %1 und %2 ein.</translation>
    </message>
    <message>
        <source>&quot;Limit downloads to&quot; (KB/s, 0 = no limit): enter an integer between %1 and %2.</source>
        <translation>„Downloads begrenzen auf“ (KB/s, 0 = keine Grenze): Geben Sie eine ganze Zahl zwischen %1 und %2 ein.</translation>
    </message>
    <message>
        <source>&quot;Quiet hours from&quot;: enter an hour between %1 and %2.</source>
        <translation>„Ruhezeit von“: Geben Sie eine Stunde zwischen %1 und %2 ein.</translation>
    </message>
    <message>
        <source>&quot;Quiet hours to&quot;: enter an hour between %1 and %2.</source>
        <translation>„Ruhezeit bis“: Geben Sie eine Stunde zwischen %1 und %2 ein.</translation>
    </message>
    <message>
        <source>&quot;%1&quot;: enter at least one tag; separate tags with commas.</source>
        <translation>„%1“: Geben Sie mindestens ein Schlagwort ein; trennen Sie Schlagwörter mit Kommas.</translation>
    </message>
    <message>
        <source>Tags, separated by commas</source>
        <translation>Schlagwörter, durch Kommas getrennt</translation>
    </message>
    <message>
        <source>The folder must be a full path starting with /. Please enter the name of an existing folder complete with path name.</source>
        <translation>Der Ordner muss ein vollständiger Pfad sein, der mit / beginnt. Bitte geben Sie den Namen eines vorhandenen Ordners mit vollständigem Pfad ein.</translation>
    </message>
    <message>
        <source>The folder %1 can&apos;t be used for downloads (%2). Please choose a folder you may write to.</source>
        <translation>Der Ordner %1 kann nicht für Downloads verwendet werden (%2). Bitte wählen Sie einen Ordner, in den Sie schreiben dürfen.</translation>
    </message>
    <message>
        <source>Pixolune Plugin is currently authenticated
%1 (%2)</source>
        <translation>Das Pixolune-Plugin ist zurzeit angemeldet
%1 (%2)</translation>
    </message>
    <message>
        <source>Pixolune Plugin is authenticated, but the account could not be checked now. The sign-in is kept.</source>
        <translation>Das Pixolune-Plugin ist angemeldet, aber das Konto konnte gerade nicht geprüft werden. Die Anmeldung bleibt erhalten.</translation>
    </message>
    <message>
        <source>The Pixolune service refused the sign-in; authorize again.</source>
        <translation>Der Pixolune-Dienst hat die Anmeldung abgelehnt; bitte autorisieren Sie erneut.</translation>
    </message>
    <message>
        <source>The Pixolune service failed to answer the account check (%1). The sign-in is kept; try again later.</source>
        <translation>Der Pixolune-Dienst hat die Kontoprüfung nicht beantwortet (%1). Die Anmeldung bleibt erhalten; versuchen Sie es später erneut.</translation>
    </message>
    <message>
        <source>The Pixolune service could not be reached (%1). Check the network connection; the sign-in is kept.</source>
        <translation>Der Pixolune-Dienst war nicht erreichbar (%1). Prüfen Sie die Netzwerkverbindung; die Anmeldung bleibt erhalten.</translation>
    </message>
    <message>
        <source>The sign-in did not complete: the answer did not come from the Pixolune sign-in page. Close this window and click Authorize... again.</source>
        <translation>Die Anmeldung wurde nicht abgeschlossen: Die Antwort kam nicht von der Anmeldeseite von Pixolune. Schließen Sie dieses Fenster und klicken Sie erneut auf „Autorisieren...“.</translation>
    </message>
    <message>
        <source>This window only shows the Pixolune sign-in; the page of %1 was not opened.</source>
        <translation>Dieses Fenster zeigt nur die Anmeldung bei Pixolune; die Seite von %1 wurde nicht geöffnet.</translation>
    </message>
    <message>
        <source>This window only shows the Pixolune sign-in; the new window a page asked for was not opened.</source>
        <translation>Dieses Fenster zeigt nur die Anmeldung bei Pixolune; das neue Fenster, das eine Seite öffnen wollte, wurde nicht geöffnet.</translation>
    </message>
    <message>
        <source>The sign-in cannot open: this program runs as root, and the web view that shows the Pixolune page does not run as root with its sandbox on.

Run the slide show and its settings as an ordinary user, or, if you accept that the sign-in page runs without the sandbox, start the settings again with QTWEBENGINE_DISABLE_SANDBOX=1 set, for example: QTWEBENGINE_DISABLE_SANDBOX=1 kalhost configure</source>
        <translation>Die Anmeldung kann nicht geöffnet werden: Dieses Programm läuft als root, und die Webansicht, die die Pixolune-Seite zeigt, läuft als root nicht mit eingeschalteter Sandbox.

Führen Sie die Diashow und ihre Einstellungen als gewöhnlicher Benutzer aus oder – wenn Sie hinnehmen, dass die Anmeldeseite ohne Sandbox läuft – starten Sie die Einstellungen erneut mit gesetztem QTWEBENGINE_DISABLE_SANDBOX=1, zum Beispiel: QTWEBENGINE_DISABLE_SANDBOX=1 kalhost configure</translation>
    </message>
    <message>
        <source>The Pixolune service does not answer.</source>
        <translation>Der Pixolune-Dienst antwortet nicht.</translation>
    </message>
    <message>
        <source>&amp;Try Again</source>
        <translation>&amp;Erneut versuchen</translation>
    </message>
    <message>
        <source>PlugIn Enabled: download media while the slide show runs.
Folder: the full path of an existing folder you may write to; the photos and videos go there, and files that left the feeds are removed from it.
Feeds: choose which lists to follow and how many files to take from each; tags are separated by commas.
Check downloads every N minutes: how often the feeds are read (0: only at startup).
Settings...: slide show restart, descriptions and the removal of old files.

To sign in, click Authorize..., log in to Pixolune and allow this plugin to access your account; OK keeps the sign-in.

The plug-in writes what it does to the host&apos;s log (kalhost prints it on its console).</source>
        <translation>Plug-in eingeschaltet: Medien herunterladen, während die Diashow läuft.
Ordner: der vollständige Pfad eines vorhandenen Ordners, in den Sie schreiben dürfen; dorthin kommen die Fotos und Videos, und Dateien, die aus den Feeds verschwunden sind, werden daraus entfernt.
Feeds: Wählen Sie, welchen Listen gefolgt wird und wie viele Dateien aus jeder genommen werden; Schlagwörter werden durch Kommas getrennt.
Alle N Minuten nach Downloads sehen: wie oft die Feeds gelesen werden (0: nur beim Start).
Einstellungen...: Neustart der Diashow, Beschreibungen und das Entfernen alter Dateien.

Zum Anmelden klicken Sie auf „Autorisieren...“, melden sich bei Pixolune an und erlauben diesem Plugin den Zugriff auf Ihr Konto; OK behält die Anmeldung.

Das Plug-in schreibt, was es tut, in das Protokoll des Hosts (kalhost zeigt es auf seiner Konsole).</translation>
    </message>
    <message>
        <source>Pixolune PlugIn</source>
        <translation>Pixolune-Plugin</translation>
    </message>
    <message>
        <source>My Feed</source>
        <translation>Mein Feed</translation>
    </message>
    <message>
        <source>My Photos/Videos</source>
        <translation>Meine Fotos/Videos</translation>
    </message>
    <message>
        <source>Popular</source>
        <translation>Beliebt</translation>
    </message>
    <message>
        <source>Photos/Videos I like</source>
        <translation>Fotos/Videos, die mir gefallen</translation>
    </message>
    <message>
        <source>Photos/Videos with tags:</source>
        <translation>Fotos/Videos mit Schlagwörtern:</translation>
    </message>
    <message>
        <source>&amp;PlugIn Enabled</source>
        <translation>Plug-in &amp;eingeschaltet</translation>
    </message>
    <message>
        <source>Check downloads at startup and &amp;every :</source>
        <translation>Beim Start und dann a&amp;lle</translation>
    </message>
    <message>
        <source>Minutes   (0=Disable)</source>
        <translation>Minuten nach Downloads sehen (0 = aus)</translation>
    </message>
    <message>
        <source>&amp;Folder to store downloaded media files (photo and video):</source>
        <translation>&amp;Ordner für heruntergeladene Mediendateien (Fotos und Videos):</translation>
    </message>
    <message>
        <source>P&amp;hotos</source>
        <translation>&amp;Fotos</translation>
    </message>
    <message>
        <source>&amp;Videos</source>
        <translation>&amp;Videos</translation>
    </message>
    <message>
        <source>Restart slideshow when all files have been downloaded</source>
        <translation>Diashow neu starten, wenn alle Dateien heruntergeladen sind</translation>
    </message>
    <message>
        <source>Add item &amp;caption to description in kprop file</source>
        <translation>&amp;Bildunterschrift zur Beschreibung in der kprop-Datei hinzufügen</translation>
    </message>
    <message>
        <source>Add &amp;owner name to description in kprop file</source>
        <translation>&amp;Namen des Besitzers zur Beschreibung in der kprop-Datei hinzufügen</translation>
    </message>
    <message>
        <source>&amp;Days</source>
        <translation>Ta&amp;ge</translation>
    </message>
    <message>
        <source>&amp;Hours</source>
        <translation>St&amp;unden</translation>
    </message>
    <message>
        <source>Synchronization</source>
        <translation>Synchronisierung</translation>
    </message>
    <message>
        <source>&amp;Limit downloads to</source>
        <translation>&amp;Downloads begrenzen auf</translation>
    </message>
    <message>
        <source>KB/s, 0 = no limit</source>
        <translation>KB/s, 0 = keine Grenze</translation>
    </message>
    <message>
        <source>&amp;Quiet hours from</source>
        <translation>&amp;Ruhezeit von</translation>
    </message>
    <message>
        <source>&amp;to</source>
        <translation>b&amp;is</translation>
    </message>
    <message>
        <source>&amp;Prefix:</source>
        <translation>&amp;Präfix:</translation>
    </message>
</context>
<context>
    <name>pixolune::ui::CAuthorizeDlg</name>
    <message>
        <source>Authorize</source>
        <translation>Autorisieren</translation>
    </message>
    <message>
        <source>Page of</source>
        <translation>Seite von</translation>
    </message>
    <message>
        <source>Loading</source>
        <translation>Wird geladen</translation>
    </message>
</context>
<context>
    <name>pixolune::ui::CDwnlSettingsDlg</name>
    <message>
        <source>Download Settings</source>
        <translation>Download-Einstellungen</translation>
    </message>
    <message>
        <source>&amp;Synchronize with feeds, remove all files no longer present on the server</source>
        <translation>Mit den Feeds &amp;synchronisieren, alle Dateien entfernen, die nicht mehr auf dem Server sind</translation>
    </message>
    <message>
        <source>&amp;Remove files no longer present on server and older than:</source>
        <translation>Dateien &amp;entfernen, die nicht mehr auf dem Server und älter sind als:</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Days</source>
        <translation>Tage</translation>
    </message>
    <message>
        <source>Hours</source>
        <translation>Stunden</translation>
    </message>
    <message>
        <source>Limit downloads to, KB/s</source>
        <translation>Downloads begrenzen auf, KB/s</translation>
    </message>
    <message>
        <source>Quiet hours from</source>
        <translation>Ruhezeit von</translation>
    </message>
    <message>
        <source>Quiet hours to</source>
        <translation>Ruhezeit bis</translation>
    </message>
    <message>
        <source>(hours 0-23; the same hour twice: none)</source>
        <translation>(Stunden 0–23; zweimal dieselbe Stunde: keine)</translation>
    </message>
    <message>
        <source>Sharing the line</source>
        <translation>Die Leitung teilen</translation>
    </message>
</context>
<context>
    <name>pixolune::ui::CPixoluneDlg</name>
    <message>
        <source>Pixolune PlugIn %1.%2.%3</source>
        <translation>Pixolune-Plugin %1.%2.%3</translation>
    </message>
    <message>
        <source>Choose media files you want to see from Pixolune</source>
        <translation>Wählen Sie, welche Mediendateien von Pixolune Sie sehen möchten</translation>
    </message>
    <message>
        <source>Static</source>
        <translation>Static</translation>
    </message>
    <message>
        <source>Max N. of files:</source>
        <translation>Höchstzahl Dateien:</translation>
    </message>
    <message>
        <source>...</source>
        <translation>...</translation>
    </message>
    <message>
        <source>&amp;Settings...</source>
        <translation>E&amp;instellungen...</translation>
    </message>
    <message>
        <source>&amp;Authorize...</source>
        <translation>&amp;Autorisieren...</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Hilfe</translation>
    </message>
    <message>
        <source>%1 Max N. of files</source>
        <translation>%1, Höchstzahl Dateien</translation>
    </message>
    <message>
        <source>Tags</source>
        <translation>Schlagwörter</translation>
    </message>
    <message>
        <source>Account</source>
        <translation>Konto</translation>
    </message>
</context>
</TS>
