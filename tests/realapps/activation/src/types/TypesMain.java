package types;

import javax.activation.CommandInfo;
import javax.activation.MailcapCommandMap;
import javax.activation.MimetypesFileTypeMap;

/**
 * Looks up types and commands that two plug-in jars declare in their
 * META-INF/mime.types and META-INF/mailcap, some of them for the same
 * extension or type: activation reads every jar's copy, in class-path order.
 */
public class TypesMain {
    public static void main(String[] args) {
        MimetypesFileTypeMap types = new MimetypesFileTypeMap();
        for (String file : new String[] {"a.first", "a.second", "a.both", "a.twice"}) {
            System.out.println(file + ": " + types.getContentType(file));
        }
        MailcapCommandMap commands = new MailcapCommandMap();
        for (CommandInfo info : commands.getPreferredCommands("text/x-plugin")) {
            System.out.println("preferred " + info.getCommandName() + ": " + info.getCommandClass());
        }
        for (CommandInfo info : commands.getAllCommands("text/x-plugin")) {
            System.out.println("all " + info.getCommandName() + ": " + info.getCommandClass());
        }
    }
}
