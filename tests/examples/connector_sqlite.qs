// Searches, adds, updates and deletes rows of a SQLite database through a connector data source:
// the test fixture connector "fx_sql_typed", whose driver does not convert text, so the server
// first asks for the columns and writes numbers bare. Run by connector_example.sh, which also
// collects the statements the server logged.

db_statement(-source='fx_sql_typed', -database='shop',
             -sql='CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, price REAL, stock INTEGER)')
db_statement(-source='fx_sql_typed', -database='shop',
             -sql="INSERT INTO items VALUES (1, 'Apples', 2.5, 10), (2, 'Bread', 1.95, 3), "
                + "(3, 'Milk', 0.99, 25), (4, 'Mustard', 3.2, 4)")

define tag list_items(-title::string) => {
  $title ':\n'
  db_search(-source='fx_sql_typed', -database='shop', -table='items', -sort='id') => {
    rows => { '  ' field('id') ' ' field('name') ' ' field('price') ' (' field('stock') ' in stock)\n' }
  }
}

'Items beginning with M, dearest first:\n'
db_search(-source='fx_sql_typed', -database='shop', -table='items', ['name', 'begins', 'm'],
          -sort_desc='price', -select='name', -select='price') => {
  rows => { '  ' row_number() '. ' field('name') ' at ' field(1) '\n' }
}
'Items under 3.00 or with fewer than 5 in stock, by name, skipping 1, at most 2 ('
db_search(-source='fx_sql_typed', -database='shop', -table='items', ['price', '<', 3], ['stock', '<', 5],
          -logic='or', -sort='name', -skip=1, -max=2) => {
  found_count() ' found):\n'
  rows => { '  ' field('name') '\n' }
}

db_add(-source='fx_sql_typed', -database='shop', -table='items', ['id', 7], ['name', "Baker's oats"],
       ['price', '1.95'], ['stock', 20]) => { 'Added row ' action_row_id() '\n' }
db_update(-source='fx_sql_typed', -database='shop', -table='items', -key='id', -key_value=7,
          ['price', '1.75']) => { 'Updated ' found_count() ' row\n' }
db_search(-source='fx_sql_typed', -database='shop', -table='items', ['name', 'contains', "r's"]) => {
  'Found by a quote: ' rows => { field('name') ' at ' field('price') } '\n'
}
db_update(-source='fx_sql_typed', -database='shop', -table='items', -key='id', -key_value=7,
          ['price', '0; DELETE FROM items']) => {
  'A price that is not a number is refused: ' action_code() ' ' action_message() '\n'
}
list_items('After adding and updating')
db_delete(-source='fx_sql_typed', -database='shop', -table='items', -key='id', -key_value=7) => {
  'Deleted ' found_count() ' row\n'
}
db_delete(-source='fx_sql_typed', -database='shop', -table='items') => {
  'A delete without a key is refused: ' action_code() '\n'
}
list_items('After deleting')
